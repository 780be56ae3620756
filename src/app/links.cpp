#include "app/links.h"

#include <QDesktopServices>
#include <QUrl>

namespace vtx {

void TAbreLinksQt::Abre(const QString& endereco) {
  QDesktopServices::openUrl(QUrl(endereco));
}

}  // namespace vtx
