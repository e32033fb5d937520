// The built plug-in: ModuleDesign is found by name and nothing else of ours is exported.
#include "support/QtMain.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <dlfcn.h>

class ExportTest : public QObject {
    Q_OBJECT

private slots:
    void onlyModuleDesignIsExported() {
        const QByteArray library = KESTREL_LIBRARY_PATH;
        void* handle = dlopen(library.constData(), RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(handle, dlerror());
        QVERIFY(dlsym(handle, "ModuleDesign"));
        QVERIFY(!dlsym(handle, "_ZN7kestrel16RunDesignSessionEv"));
        dlclose(handle);

        QProcess nm;
        nm.start(QStringLiteral("nm"), {QStringLiteral("-D"), QStringLiteral("--defined-only"),
                                        QStringLiteral("--format=posix"), QString::fromLocal8Bit(library)});
        QVERIFY(nm.waitForFinished(30000));
        QCOMPARE(nm.exitCode(), 0);
        QStringList exported;
        for (const QByteArray& line : nm.readAllStandardOutput().split('\n')) {
            const QByteArray name = line.split(' ').value(0);
            // The linker's own markers of the data segments are no symbols of ours.
            static const QList<QByteArray> linkerMarkers = {"__bss_start", "_edata", "_end", "_init", "_fini"};
            if (!name.isEmpty() && !linkerMarkers.contains(name))
                exported << QString::fromLatin1(name);
        }
        QCOMPARE(exported, QStringList{QStringLiteral("ModuleDesign")});
    }

    // A host may unload the plug-in while a connection attempt the user gave up on is still in
    // its driver; the attempt's thread returns into the plug-in later, so it must stay mapped.
    void staysMappedOnceLoaded() {
        QProcess readelf;
        readelf.start(QStringLiteral("readelf"), {QStringLiteral("-d"), QString::fromLocal8Bit(KESTREL_LIBRARY_PATH)});
        QVERIFY(readelf.waitForFinished(30000));
        QCOMPARE(readelf.exitCode(), 0);
        const QString dynamic = QString::fromLocal8Bit(readelf.readAllStandardOutput());
        QVERIFY2(dynamic.contains(QRegularExpression(QStringLiteral("FLAGS_1\\).*\\bNODELETE\\b"))),
                 qPrintable(dynamic));
    }

    void loadHooksWriteTheirTraceLines() {
        // The hooks themselves run when a process loads the library: load it in a child.
        QProcess loader;
#ifdef KESTREL_ASAN_RUNTIME
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(KESTREL_ASAN_RUNTIME));
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        loader.setProcessEnvironment(environment);
#endif
        loader.start(QStringLiteral("python3"),
                     {QStringLiteral("-c"), QStringLiteral("import ctypes,sys; h=ctypes.CDLL(sys.argv[1])"),
                      QString::fromLocal8Bit(KESTREL_LIBRARY_PATH)});
        if (!loader.waitForStarted(10000))
            QSKIP("python3 not available");
        QVERIFY(loader.waitForFinished(30000));
        const QString trace = QString::fromLocal8Bit(loader.readAllStandardError());
        QVERIFY2(trace.contains(QStringLiteral("KESTREL.DLL Initializing!\n")), qPrintable(trace));
        QVERIFY2(trace.contains(QStringLiteral("KESTREL.DLL Terminating!\n")), qPrintable(trace));
        QVERIFY(trace.indexOf(QStringLiteral("Initializing")) < trace.indexOf(QStringLiteral("Terminating")));
    }
};

KESTREL_GUILESS_TEST_MAIN(ExportTest)
#include "ExportTest.moc"
