// Places the window looks in for its optional files.
#pragma once

#include <QString>

class QWidget;

namespace twf::ui {

class IDialogs;

// The executable's folder. The help files ("Homepage.txt", "Changelog.txt",
// "Command-line.txt", "EULA.txt") and the "Fonts" folder are looked for
// there first.
QString AppFolder();
// Tests point it at a folder of their own.
void SetAppFolder(const QString& folder);

// A help file of the program: beside the executable (a build folder, or a
// copy of the program with its files), else in the installed data folder
// <prefix>/share/twinfold beside <prefix>/bin. Empty when neither has it.
QString FindAppFile(const QString& fileName);
// Opens that file in the default viewer, or says it was not found.
void OpenAppFile(IDialogs& dialogs, QWidget* parent, const QString& fileName);

// The product's home page: the project's own pages, shipped with it.
inline constexpr const char* kHomepageFile = "Homepage.txt";
// The maker's web site.
inline constexpr const char* kMakerUrl = "https://www.zentorvi.example/";

} // namespace twf::ui
