#pragma once
// Saves what the screen shows as a 24-bit BMP file (a CI artefact; converted to PNG outside).
#include <string>

namespace wine_tests {

// Where artefacts go (a Windows path ending in a backslash); empty: none are kept.
void SetArtifactDir(const std::string& dir);
const std::string& ArtifactDir();

bool SaveScreenBmp(const std::string& path);

}  // namespace wine_tests
