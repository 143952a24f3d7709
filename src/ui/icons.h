// Toolbar glyphs drawn at run time from an icon font. The font is not part
// of the program: it is looked for in "Fonts" beside the executable, then in
// the installed data folders; without it the toolbar shows captions.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

namespace twf::ui {

struct TIconFamily {
  QString Family; // empty when the file names no known icon family
  int Rank = 99;  // lower is preferred
};

// The icon family a font file provides, judged by its file name.
TIconFamily IconFamilyOfFile(const QString& filePath);

// Folders searched in order: "Fonts" beside the executable, then the
// icon-font folder of the installed data folders.
QStringList DefaultIconFontFolders();
// Tests point the search elsewhere (an empty list finds no font).
void SetIconFontFolders(const QStringList& folders);

// Loads the fonts once per process and reports whether an icon family was found.
bool EnsureIconFont();
// Loads every .ttf/.otf of one folder for this process; the best-ranked
// family found so far is kept in bestFamily/bestRank.
void LoadFontFolder(const QString& folder, QString& bestFamily, int& bestRank);
// Unloads what EnsureIconFont loaded; the next call searches again.
void UnloadIconFonts();
QString IconFontFamily();
QStringList LoadedIconFontFiles();

// One glyph in colour on a transparent square of size x size pixels
// (premultiplied alpha); a pixel the glyph does not cover is all zero.
QImage RenderGlyph(uint32_t codePoint, int size, const QColor& colour);

struct TToolbarGlyph {
  const char* Button;  // object name of the tool button
  uint32_t CodePoint;  // in the Material Icons fonts
  const char* Caption; // shown instead when there is no icon font
};
inline constexpr std::array<TToolbarGlyph, 8> kToolbarGlyphs = {{
    {"tbtnMirror", 0xE037, "Mirror"},
    {"tbtnDryRun", 0xE8F4, "Dry Run"},
    {"tbtnSaveTask", 0xE161, "Save"},
    {"tbtnCloneTask", 0xE14D, "Clone"},
    {"tbtnNewTask", 0xE145, "New"},
    {"tbtnExportTasks", 0xE2C6, "Export"},
    {"tbtnImportTasks", 0xE2C4, "Import"},
    {"tbtnAuthKeys", 0xE0DA, "Auth Keys"},
}};
inline constexpr int kGlyphSize = 20;
inline const QColor kGlyphColour{40, 40, 40};

} // namespace twf::ui
