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

# The two key pairs of the game's archives (key1, key2 of each), values of the game version
# served. The defaults are placeholders that match no released game: a deployment sets
# the real ones.
set(VORN_PCK_KEY_A1 "0x1A2B3C4D" CACHE STRING "archive key pair A, key1")
set(VORN_PCK_KEY_A2 "0x5E6F7081" CACHE STRING "archive key pair A, key2")
set(VORN_PCK_KEY_B1 "0x92A3B4C5" CACHE STRING "archive key pair B, key1")
set(VORN_PCK_KEY_B2 "0xD6E7F809" CACHE STRING "archive key pair B, key2")
foreach(key VORN_PCK_KEY_A1 VORN_PCK_KEY_A2 VORN_PCK_KEY_B1 VORN_PCK_KEY_B2)
  string(LENGTH "${${key}}" key_length)
  if(NOT "${${key}}" MATCHES "^0x[0-9A-Fa-f]+$" OR key_length GREATER 10)
    message(FATAL_ERROR "${key} must be a 32-bit hexadecimal value such as 0x1A2B3C4D, got '${${key}}'")
  endif()
endforeach()
if(VORN_PCK_KEY_A1 STREQUAL VORN_PCK_KEY_B1 AND VORN_PCK_KEY_A2 STREQUAL VORN_PCK_KEY_B2)
  message(FATAL_ERROR "the two archive key pairs must differ")
endif()
set(VORN_PCK_KEYS_A "{${VORN_PCK_KEY_A1}u, ${VORN_PCK_KEY_A2}u}")
set(VORN_PCK_KEYS_B "{${VORN_PCK_KEY_B1}u, ${VORN_PCK_KEY_B2}u}")

# The feed's public keys (zero to three, "ID:HEX;ID:HEX" as `vornell-feed keygen` prints
# them). Empty: the launcher reads the feed unsigned, as before signing existed.
set(VORN_FEED_KEYS "" CACHE STRING "public keys of the signed feed")
# The code signer's pins (zero to two SHA-256 of its certificate's SubjectPublicKeyInfo,
# "HEX;HEX"). Empty: downloaded programs pass the plain signature check, as before.
set(VORN_SIGNER_PINS "" CACHE STRING "SHA-256 pins of the code-signing public keys")
include(${CMAKE_CURRENT_LIST_DIR}/trust_values.cmake)
# The code-signing certificate and key (PEM files). When both are set, the build signs both
# programs as it links them, so the updater digest the launcher pins is that of the signed
# file: signing afterwards would change the bytes under the pin.
set(VORN_CODE_SIGN_CERT "" CACHE FILEPATH "code-signing certificate (PEM)")
set(VORN_CODE_SIGN_KEY "" CACHE FILEPATH "code-signing private key (PEM)")
if((VORN_CODE_SIGN_CERT AND NOT VORN_CODE_SIGN_KEY) OR (VORN_CODE_SIGN_KEY AND NOT VORN_CODE_SIGN_CERT))
  message(FATAL_ERROR "VORN_CODE_SIGN_CERT and VORN_CODE_SIGN_KEY go together")
endif()
# vorn_sign_program(target): signs the target's file in place after each link, when a
# certificate is configured.
function(vorn_sign_program target)
  if(VORN_CODE_SIGN_CERT)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${PROJECT_SOURCE_DIR}/cmake/sign_program.sh $<TARGET_FILE:${target}>
              $<TARGET_FILE:${target}> ${VORN_CODE_SIGN_CERT} ${VORN_CODE_SIGN_KEY}
      COMMENT "Signing ${target}"
      VERBATIM)
  endif()
endfunction()

set(VORN_GENERATED_INCLUDE ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/deployment_config.h.in
               ${VORN_GENERATED_INCLUDE}/deployment_config.h @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/build_info.h.in ${VORN_GENERATED_INCLUDE}/build_info.h @ONLY)
include(${CMAKE_CURRENT_LIST_DIR}/build_text.cmake)
vorn_build_text(vorn_build_info STATIC ${PROJECT_VERSION})
