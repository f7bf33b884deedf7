// The main of an executable of several Qt Test classes (test_classes.h): runs the class
// named by the first argument as QTEST_MAIN would run it alone, with the arguments after the
// name given to Qt Test. Without a known name it lists the classes and fails.

#include "support/test_classes.h"

#include <QApplication>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

std::map<std::string, support::TestClassFactory>& registry() {
    static std::map<std::string, support::TestClassFactory> classes;
    return classes;
}

} // namespace

bool support::registerTestClass(const char* name, TestClassFactory make) {
    return registry().emplace(name, make).second;
}

int main(int argc, char** argv) {
    const auto found = argc > 1 ? registry().find(argv[1]) : registry().end();
    if (found == registry().end()) {
        std::fprintf(stderr, "usage: %s CLASS [Qt Test arguments]; the classes:\n", argv[0]);
        for (const auto& entry : registry())
            std::fprintf(stderr, "  %s\n", entry.first.c_str());
        return 2;
    }
    std::vector<char*> arguments{argv[0]};
    arguments.insert(arguments.end(), argv + 2, argv + argc);
    int count = static_cast<int>(arguments.size());
    QApplication app(count, arguments.data());
    app.setAttribute(Qt::AA_Use96Dpi, true);
    QTEST_DISABLE_KEYPAD_NAVIGATION
    const std::unique_ptr<QObject> test = found->second();
    return QTest::qExec(test.get(), count, arguments.data());
}
