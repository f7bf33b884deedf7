#pragma once
// Several Qt Test classes in one executable: each class registers itself under the name of
// its test, and `EXECUTABLE NAME [Qt Test arguments]` runs that class alone, in a process of
// its own, as an executable of its own would (test_classes_main.cpp). The window's tests
// share one executable this way, so the window is linked once rather than once a class.

#include <QObject>

#include <memory>

namespace support {

using TestClassFactory = std::unique_ptr<QObject> (*)();

// Registers `make` under `name`; true, for a static initialiser (WB_TEST_CLASS).
bool registerTestClass(const char* name, TestClassFactory make);

} // namespace support

// In place of QTEST_MAIN(Class): the class runs as `EXECUTABLE name`.
#define WB_TEST_CLASS(Class, name)                                                                 \
    namespace {                                                                                    \
    const bool registered##Class = support::registerTestClass(                                     \
        name, []() -> std::unique_ptr<QObject> { return std::make_unique<Class>(); });             \
    }

// In a test function whose work does not change with the locale beyond what the class's other
// functions cover (a bulk store of tens of thousands of rows): the function runs once, and is
// skipped in the repeats under other locales (NAME@de_DE ..., which set WB_LOCALE_REPEAT).
#define WB_ONCE_NOT_IN_LOCALE_REPEATS()                                                            \
    do {                                                                                           \
        if (qEnvironmentVariableIsSet("WB_LOCALE_REPEAT"))                                         \
            QSKIP("the same under every locale: run once, under the test's own");                  \
    } while (false)
