#include "ui/app_paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "ui/dialogs.h"

namespace twf::ui {

namespace {
QString gAppFolder;
}

QString AppFolder() { return gAppFolder.isEmpty() ? QCoreApplication::applicationDirPath() : gAppFolder; }
void SetAppFolder(const QString& folder) { gAppFolder = folder; }

QString FindAppFile(const QString& fileName) {
  const QString folder = AppFolder();
  for (const QString& path : {folder + QLatin1Char('/') + fileName,
                              folder + QStringLiteral("/../share/twinfold/") + fileName}) {
    if (QFileInfo(path).isFile()) return QDir::cleanPath(path);
  }
  return {};
}

void OpenAppFile(IDialogs& dialogs, QWidget* parent, const QString& fileName) {
  const QString path = FindAppFile(fileName);
  if (!path.isEmpty())
    dialogs.OpenUrl(QUrl::fromLocalFile(path));
  else
    dialogs.Inform(parent, fileName + QStringLiteral(" was not found in the application folder."));
}

} // namespace twf::ui
