// Places the window looks in for its optional files.
#pragma once

#include <QString>

namespace twf::ui {

// The executable's folder: "Changelog.txt", "Command-line.txt", "EULA.txt"
// and the "Fonts" folder live there.
QString AppFolder();
// Tests point it at a folder of their own.
void SetAppFolder(const QString& folder);

// The product's and the maker's web sites.
inline constexpr const char* kHomepageUrl = "https://twinfold.zentorvi.example/";
inline constexpr const char* kMakerUrl = "https://www.zentorvi.example/";

} // namespace twf::ui
