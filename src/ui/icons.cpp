#include "ui/icons.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPainter>
#include <QStandardPaths>
#include <optional>
#include <vector>

namespace twf::ui {
namespace {

struct TLoadedFont {
  QString Path;
  int Id;
};

// UI thread only, like the fonts themselves.
std::vector<TLoadedFont> gLoaded;
QString gFamily = QStringLiteral("Material Icons Outlined");
bool gAvailable = false;
std::optional<QStringList> gFolders;

} // namespace

TIconFamily IconFamilyOfFile(const QString& filePath) {
  struct TRule {
    const char* Part;
    const char* Family;
    int Rank;
  };
  static const TRule kRules[] = {
      {"materialiconsoutlined", "Material Icons Outlined", 1},
      {"materialicons-regular", "Material Icons", 2},
      {"materialiconsround", "Material Icons Round", 3},
      {"materialiconssharp", "Material Icons Sharp", 4},
      {"materialiconstwotone", "Material Icons Two Tone", 5},
  };
  const QString name = QFileInfo(filePath).fileName().toLower();
  for (const TRule& r : kRules)
    if (name.contains(QLatin1String(r.Part))) return {QString::fromLatin1(r.Family), r.Rank};
  return {};
}

QStringList DefaultIconFontFolders() {
  QStringList folders{QCoreApplication::applicationDirPath() + QStringLiteral("/Fonts")};
  folders += QStandardPaths::locateAll(QStandardPaths::GenericDataLocation,
                                       QStringLiteral("fonts/truetype/material-design-icons-iconfont"),
                                       QStandardPaths::LocateDirectory);
  return folders;
}

void SetIconFontFolders(const QStringList& folders) { gFolders = folders; }

void LoadFontFolder(const QString& folder, QString& bestFamily, int& bestRank) {
  const QDir dir(folder);
  if (!dir.exists()) return;
  const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort);
  for (const QFileInfo& fi : entries) {
    const QString ext = fi.suffix().toLower();
    if (ext != QLatin1String("ttf") && ext != QLatin1String("otf")) continue;
    const int id = QFontDatabase::addApplicationFont(fi.absoluteFilePath());
    if (id < 0) continue; // not a font after all: skipped without a word
    gLoaded.push_back({fi.absoluteFilePath(), id});
    const TIconFamily f = IconFamilyOfFile(fi.absoluteFilePath());
    // Equal ranks keep the earlier file, so the folder's order cannot flip the choice.
    if (!f.Family.isEmpty() && f.Rank < bestRank) {
      bestRank = f.Rank;
      bestFamily = f.Family;
    }
  }
}

bool EnsureIconFont() {
  if (!gLoaded.empty()) return gAvailable;
  QString bestFamily;
  int bestRank = 99;
  for (const QString& folder : gFolders ? *gFolders : DefaultIconFontFolders()) {
    LoadFontFolder(folder, bestFamily, bestRank);
    if (!bestFamily.isEmpty()) break;
  }
  if (!bestFamily.isEmpty()) {
    gFamily = bestFamily;
    gAvailable = true;
  }
  return gAvailable;
}

void UnloadIconFonts() {
  for (const TLoadedFont& f : gLoaded) QFontDatabase::removeApplicationFont(f.Id);
  gLoaded.clear();
  gAvailable = false;
  gFamily = QStringLiteral("Material Icons Outlined");
}

QString IconFontFamily() { return gFamily; }

QStringList LoadedIconFontFiles() {
  QStringList paths;
  for (const TLoadedFont& f : gLoaded) paths << f.Path;
  return paths;
}

QImage RenderGlyph(uint32_t codePoint, int size, const QColor& colour) {
  // White on black first: the green channel is then the glyph's coverage,
  // which becomes the alpha of the coloured result.
  QImage cover(size, size, QImage::Format_RGB32);
  cover.fill(Qt::black);
  {
    QPainter p(&cover);
    QFont font(gFamily);
    font.setPixelSize(size);
    font.setStyleStrategy(QFont::StyleStrategy(QFont::PreferAntialias | QFont::NoSubpixelAntialias));
    p.setFont(font);
    p.setPen(Qt::white);
    const char32_t cp = codePoint;
    p.drawText(QRect(0, 0, size, size), Qt::AlignCenter | Qt::TextSingleLine | Qt::TextDontClip,
               QString::fromUcs4(&cp, 1));
  }
  QImage out(size, size, QImage::Format_ARGB32_Premultiplied);
  const int r = colour.red(), g = colour.green(), b = colour.blue();
  for (int y = 0; y < size; ++y) {
    const QRgb* src = reinterpret_cast<const QRgb*>(cover.constScanLine(y));
    QRgb* dst = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < size; ++x) {
      const int a = qGreen(src[x]);
      dst[x] = qRgba(r * a / 255, g * a / 255, b * a / 255, a);
    }
  }
  return out;
}

} // namespace twf::ui
