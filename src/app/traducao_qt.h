// Qt's own texts (dialog buttons, edit menus) in Brazilian Portuguese.
#pragma once

#include <QTranslator>
#include <memory>

namespace vtx {

// Loads Qt's Brazilian Portuguese translations from Qt's translation folder and installs them in
// the running application; they stay installed while the returned object lives. Null when the
// translation files are missing: Qt's texts then stay in English.
std::unique_ptr<QTranslator> InstalaTraducaoQt();

}  // namespace vtx
