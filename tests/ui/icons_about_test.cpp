// Toolbar glyphs from the icon font (or captions without it), the logo and
// its placement, and the About box.
#include <QKeyEvent>
#include <QLabel>
#include <QTemporaryDir>
#include <QToolButton>

#include "runctl/machine_text.h"
#include "ui/about.h"
#include "ui/app_paths.h"
#include "ui/icons.h"
#include "ui/logo.h"
#include "ui_test_support.h"

using namespace twf;
using namespace twf::test;

namespace {

const QString kIconFont =
    QStringLiteral("/usr/share/fonts/truetype/material-design-icons-iconfont/MaterialIcons-Regular.ttf");
const QString kPlainFont = QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");

// A "Fonts" folder holding copies of font files under the given names.
bool MakeFontFolder(const QTemporaryDir& dir, const QList<QPair<QString, QString>>& files) {
  for (const auto& [from, name] : files)
    if (!QFile::copy(from, dir.path() + QLatin1Char('/') + name)) return false;
  return true;
}

} // namespace

class TIconsAboutTest : public QObject {
  Q_OBJECT

private slots:
  void cleanup();
  void familyIsJudgedByTheFileName_data();
  void familyIsJudgedByTheFileName();
  void bestRankedFamilyWinsWhateverTheOrder();
  void withoutAnIconFontTheToolbarShowsCaptions();
  void withTheIconFontTheToolbarShowsGlyphs();
  void glyphsAreColouredOnTransparency();
  void logoBounds_data();
  void logoBounds();
  void logoSitsAtTheRightOfTheTopPanelAndLinksHome();
  void aboutShowsNameVersionAndLicence();
  void escapeClosesTheAboutBox_data();
  void escapeClosesTheAboutBox();
};

void TIconsAboutTest::cleanup() {
  ui::UnloadIconFonts();
  ui::SetIconFontFolders(ui::DefaultIconFontFolders());
  ui::SetAppFolder({});
}

void TIconsAboutTest::familyIsJudgedByTheFileName_data() {
  QTest::addColumn<QString>("file");
  QTest::addColumn<QString>("family");
  QTest::addColumn<int>("rank");
  QTest::newRow("outlined") << "/f/MaterialIconsOutlined-Regular.otf" << "Material Icons Outlined" << 1;
  QTest::newRow("regular") << "MaterialIcons-Regular.ttf" << "Material Icons" << 2;
  QTest::newRow("round, upper case") << "MaterialIconsRound-Regular.otf" << "Material Icons Round" << 3;
  QTest::newRow("sharp") << "materialiconssharp.ttf" << "Material Icons Sharp" << 4;
  QTest::newRow("two tone") << "MaterialIconsTwoTone-Regular.otf" << "Material Icons Two Tone" << 5;
  QTest::newRow("unrelated") << "DejaVuSans.ttf" << "" << 99;
  QTest::newRow("folder name does not count") << "/materialicons-regular/x.ttf" << "" << 99;
}

void TIconsAboutTest::familyIsJudgedByTheFileName() {
  QFETCH(QString, file);
  QFETCH(QString, family);
  QFETCH(int, rank);
  const ui::TIconFamily f = ui::IconFamilyOfFile(file);
  QCOMPARE(f.Family, family);
  QCOMPARE(f.Rank, rank);
}

void TIconsAboutTest::bestRankedFamilyWinsWhateverTheOrder() {
  if (!QFile::exists(kIconFont)) QSKIP("the icon font package is not installed");
  // Both name orders, so the folder's listing order cannot decide.
  for (const auto& names : {QStringList{"a-MaterialIcons-Regular.ttf", "b-MaterialIconsOutlined.ttf"},
                            QStringList{"b-MaterialIcons-Regular.ttf", "a-MaterialIconsOutlined.ttf"}}) {
    QTemporaryDir dir;
    QVERIFY(MakeFontFolder(dir, {{kIconFont, names[0]}, {kIconFont, names[1]}, {kPlainFont, "notes.txt"}}));
    ui::SetIconFontFolders({dir.path()});
    QVERIFY(ui::EnsureIconFont());
    QCOMPARE(ui::IconFontFamily(), QStringLiteral("Material Icons Outlined"));
    QCOMPARE(ui::LoadedIconFontFiles().size(), 2); // .txt is not a font file
    ui::UnloadIconFonts();
    QVERIFY(ui::LoadedIconFontFiles().isEmpty());
  }
}

void TIconsAboutTest::withoutAnIconFontTheToolbarShowsCaptions() {
  QTemporaryDir dir;
  QVERIFY(MakeFontFolder(dir, {{kPlainFont, "Plain.ttf"}}));
  QFile broken(dir.path() + QStringLiteral("/broken.otf"));
  QVERIFY(broken.open(QIODevice::WriteOnly));
  broken.write("not a font");
  broken.close();
  ui::SetIconFontFolders({dir.path()});
  TWindowFixture f;
  f.Open();
  QCOMPARE(ui::LoadedIconFontFiles(), QStringList{dir.path() + QStringLiteral("/Plain.ttf")});
  for (const ui::TToolbarGlyph& g : ui::kToolbarGlyphs) {
    auto* b = f.Find<QToolButton>(g.Button);
    QCOMPARE(b->text(), QString::fromUtf8(g.Caption));
    QVERIFY(b->icon().isNull());
    QCOMPARE(b->width(), 80);
  }
  f.Close();
  QVERIFY(ui::LoadedIconFontFiles().isEmpty()); // unloaded with the window
}

void TIconsAboutTest::withTheIconFontTheToolbarShowsGlyphs() {
  if (!QFile::exists(kIconFont)) QSKIP("the icon font package is not installed");
  QTemporaryDir dir;
  QVERIFY(MakeFontFolder(dir, {{kIconFont, "MaterialIcons-Regular.ttf"}}));
  ui::SetIconFontFolders({dir.path()});
  TWindowFixture f;
  f.Open();
  for (const ui::TToolbarGlyph& g : ui::kToolbarGlyphs) {
    auto* b = f.Find<QToolButton>(g.Button);
    QVERIFY2(!b->icon().isNull(), g.Button);
    QCOMPARE(b->size(), QSize(30, 30));
    QCOMPARE(b->toolButtonStyle(), Qt::ToolButtonIconOnly);
  }
}

void TIconsAboutTest::glyphsAreColouredOnTransparency() {
  if (!QFile::exists(kIconFont)) QSKIP("the icon font package is not installed");
  QTemporaryDir dir;
  QVERIFY(MakeFontFolder(dir, {{kIconFont, "MaterialIcons-Regular.ttf"}}));
  ui::SetIconFontFolders({dir.path()});
  QVERIFY(ui::EnsureIconFont());
  const QImage img = ui::RenderGlyph(0xE037, 20, ui::kGlyphColour); // play arrow
  QCOMPARE(img.size(), QSize(20, 20));
  QCOMPARE(img.format(), QImage::Format_ARGB32_Premultiplied);
  int covered = 0;
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 20; ++x) {
      const QRgb px = img.pixel(x, y);
      const int a = qAlpha(px);
      if (a == 0) {
        QCOMPARE(px, QRgb(0)); // uncovered: all four bytes zero
      } else {
        ++covered;
        QCOMPARE(qRed(px), 40 * a / 255);
        QCOMPARE(qBlue(px), 40 * a / 255);
      }
    }
  }
  QVERIFY(covered > 20);
  QVERIFY(covered < 400);
}

void TIconsAboutTest::logoBounds_data() {
  QTest::addColumn<QSize>("panel");
  QTest::addColumn<QRect>("bounds");
  QTest::newRow("designed height") << QSize(944, 38) << QRect(944 - 80 - 10, 7, 80, 24);
  QTest::newRow("twice as high") << QSize(1888, 76) << QRect(1888 - 160 - 20, 14, 160, 48);
  QTest::newRow("8 high: full height") << QSize(300, 8) << QRect(300 - 27 - 2, 0, 27, 8);
}

void TIconsAboutTest::logoBounds() {
  QFETCH(QSize, panel);
  QFETCH(QRect, bounds);
  QCOMPARE(ui::LogoBounds(panel.width(), panel.height()), bounds);
}

void TIconsAboutTest::logoSitsAtTheRightOfTheTopPanelAndLinksHome() {
  QImage logo;
  QVERIFY(logo.loadFromData(ui::LogoPngBytes(), "PNG"));
  QCOMPARE(logo.size(), QSize(800, 240));
  QVERIFY(logo.hasAlphaChannel());

  QTemporaryDir app;
  QFile home(app.path() + QStringLiteral("/Homepage.txt"));
  QVERIFY(home.open(QIODevice::WriteOnly));
  home.close();
  ui::SetAppFolder(app.path());
  TWindowFixture f;
  auto& w = f.Open();
  auto* top = f.Find<QWidget>("pnlTop");
  auto* box = f.Find<QWidget>("imgLogo");
  QCOMPARE(box->geometry(), ui::LogoBounds(top->width(), top->height()));
  w.resize(w.width() + 120, w.height());
  QTRY_COMPARE(box->geometry().right() + 1, top->width() - 10);
  QTest::mouseClick(box, Qt::LeftButton);
  QCOMPARE(f.Dialogs.OpenedUrls, QList<QUrl>{QUrl::fromLocalFile(home.fileName())});
  ui::SetAppFolder({});
}

void TIconsAboutTest::aboutShowsNameVersionAndLicence() {
  QTemporaryDir app;
  ui::SetAppFolder(app.path());
  TScriptedDialogs dialogs;
  ui::TfrmAbout about(dialogs, nullptr);
  QCOMPARE(about.windowTitle(), QStringLiteral("About"));
  QCOMPARE(about.findChild<QLabel*>("lblAppName")->text(), QStringLiteral("Quarlex Twinfold"));
  QCOMPARE(about.findChild<QLabel*>("lblVersion")->text(),
           QStringLiteral("Version ") + QString::fromStdString(AppVersionString()));
  QVERIFY(about.width() >= 340 && about.height() >= 222);

  auto* eula = about.findChild<QLabel*>("lblEula");
  dialogs.Answer(TAnswer::anOk);
  QTest::mouseClick(eula, Qt::LeftButton);
  QCOMPARE(dialogs.MessageTexts(), QStringList{"EULA.txt was not found in the application folder."});
  QFile file(app.path() + QStringLiteral("/EULA.txt"));
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.close();
  QTest::mouseClick(eula, Qt::LeftButton);
  QTest::mouseClick(about.findChild<QLabel*>("lblSite2"), Qt::LeftButton);
  QCOMPARE(dialogs.OpenedUrls.size(), 2);
  QCOMPARE(dialogs.OpenedUrls[0], QUrl::fromLocalFile(file.fileName()));
  QCOMPARE(dialogs.OpenedUrls[1], QUrl(QString::fromLatin1(ui::kMakerUrl)));
  QVERIFY(dialogs.Problems.isEmpty());
}

void TIconsAboutTest::escapeClosesTheAboutBox_data() {
  QTest::addColumn<int>("modifiers");
  QTest::newRow("Esc") << int(Qt::NoModifier);
  QTest::newRow("Shift+Esc") << int(Qt::ShiftModifier);
  QTest::newRow("Ctrl+Esc") << int(Qt::ControlModifier);
}

void TIconsAboutTest::escapeClosesTheAboutBox() {
  QFETCH(int, modifiers);
  TWindowFixture f;
  auto& w = f.Open();
  bool closed = false;
  f.Dialogs.Dialog([&](QDialog& d) {
    QTest::keyClick(&d, Qt::Key_Escape, Qt::KeyboardModifiers(modifiers));
    closed = !d.isVisible();
    return d.result();
  });
  w.findChild<QAction*>(QStringLiteral("miAbout"))->trigger();
  QVERIFY(closed);
  QVERIFY(f.Dialogs.Problems.isEmpty());
}

TWF_UI_TEST_MAIN(TIconsAboutTest)
#include "icons_about_test.moc"
