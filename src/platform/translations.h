#pragma once
// The toolkit's own texts (standard buttons of the message boxes, the file dialog) in the
// desktop's language.

#include <QLocale>

class QCoreApplication;
class QTranslator;

namespace platform {

// Installs Qt's translation of its own texts for `language` (the system's), from the folder
// the Qt installation keeps its translations in. Returns the installed translator, owned by
// the application, or nullptr when there is none for that language (the toolkit then stays
// in English).
QTranslator* installToolkitTranslation(QCoreApplication& application,
                                       const QLocale& language = QLocale::system());

} // namespace platform
