// Tests of the report library and the module catalogue report: a widgets application in the
// test environment, and one fixed collation locale.
#include "support/Environment.h"

#include <QApplication>
#include <QLocale>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    const kestrel::testsupport::TestEnvironment environment;
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
