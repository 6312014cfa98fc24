# Deployment values: the project's five trusted host names. Whoever deploys the
# launcher sets them at configure time (-DVORN_UPDATE_HOST=...); the defaults lie
# under the reserved .example domain so an unconfigured build reaches nobody.
set(VORN_WEB_HOST "vornell.example" CACHE STRING "web host (release descriptor, reports)")
set(VORN_WWW_HOST "www.vornell.example" CACHE STRING "www alias of the web host")
set(VORN_UPDATE_HOST "update.vornell.example" CACHE STRING "update host (manifest, blobs, guild icons)")
set(VORN_UPDATE_HOST2 "update2.vornell.example" CACHE STRING "second update host (guild icon fallback)")
set(VORN_WEB_HOST2 "vornell2.example" CACHE STRING "second web host")

# The window's four link tiles: the messenger channel, personal account pages (on the
# second web host), the vote page of a server-rating site, and the web site.
set(VORN_MESSENGER_URL "https://messenger.example/vornell" CACHE STRING "messenger channel address")
set(VORN_RATING_HOST "rating.example" CACHE STRING "host of the server-rating site")

foreach(host VORN_WEB_HOST VORN_WWW_HOST VORN_UPDATE_HOST VORN_UPDATE_HOST2 VORN_WEB_HOST2 VORN_RATING_HOST)
  string(TOLOWER "${${host}}" lowered)
  if(NOT lowered STREQUAL "${${host}}" OR NOT "${${host}}" MATCHES "^[a-z0-9.-]+$")
    message(FATAL_ERROR "${host} must be a lower-case host name, got '${${host}}'")
  endif()
endforeach()

set(VORN_GENERATED_INCLUDE ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/deployment_config.h.in
               ${VORN_GENERATED_INCLUDE}/deployment_config.h @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/build_info.h.in ${VORN_GENERATED_INCLUDE}/build_info.h @ONLY)
