#include "app/traducao_qt.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>

namespace vtx {

std::unique_ptr<QTranslator> InstalaTraducaoQt() {
  auto traducao = std::make_unique<QTranslator>();
  if (!traducao->load(QLocale(QLocale::Portuguese, QLocale::Brazil), QStringLiteral("qtbase"),
                      QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    return nullptr;
  if (!QCoreApplication::installTranslator(traducao.get())) return nullptr;
  return traducao;
}

}  // namespace vtx
