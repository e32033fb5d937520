#pragma once
// The main of the Qt Test programs: the test environment first, then the application.
#include "support/Environment.h"

#include <QApplication>
#include <QTest>

#define KESTREL_TEST_MAIN_WITH(TestObject, Application)                                                                \
    int main(int argc, char* argv[]) {                                                                                 \
        const ::kestrel::testsupport::TestEnvironment environment;                                                     \
        Application app(argc, argv);                                                                                   \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                                       \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }

// Windows on the offscreen platform.
#define KESTREL_TEST_MAIN(TestObject) KESTREL_TEST_MAIN_WITH(TestObject, QApplication)
// Programs that open no window.
#define KESTREL_GUILESS_TEST_MAIN(TestObject) KESTREL_TEST_MAIN_WITH(TestObject, QCoreApplication)
