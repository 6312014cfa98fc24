// A guild icon set and a surfaces archive for the engine's tests: the archive made by the
// tests' own writer, the atlas by the tests' own PNG encoder.
#pragma once

#include <map>
#include <string>

namespace vorn::test {

inline const std::string guild_list = "1\n2\n3\n4\nclan_1.dds\nclan_2.dds\n";

// element/surfaces.pck with three foreign entries around an old atlas and list.
std::string surfaces_archive();

// A 4 x 2 atlas whose pixels depend on `seed`, so two sets differ.
std::string guild_png(int seed = 0);

// Every entry's stored bytes by raw name, read without the code under test.
std::map<std::string, std::string> archive_entries(const std::string& archive);

}  // namespace vorn::test
