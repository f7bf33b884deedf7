#pragma once
// The toolkit's own texts (standard buttons of the message boxes, the file dialog) in the
// desktop's language.

class QCoreApplication;

namespace platform {

// Installs Qt's translation of its own texts for the system's language, from the folder the
// Qt installation keeps its translations in. Returns false when there is none for that
// language (the toolkit then stays in English).
bool installToolkitTranslation(QCoreApplication& application);

} // namespace platform
