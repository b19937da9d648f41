// libFuzzer target: the version document handling of the update check and
// the version arithmetic behind it.
#include "updatechecker.h"
#include "version.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<int>(size));
    static UpdateChecker checker(QStringList{"http://127.0.0.1:1/a", "http://127.0.0.1:1/b"}, "1.0.0.0");
    const QString before = checker.currentEndpoint();
    const QString known = checker.newVersion();
    const bool learned = checker.handleVersionDocument(body);
    if (learned && !IsNewerVersion(checker.newVersion(), checker.runningVersion())) std::abort();
    if (!learned && checker.newVersion() != known) std::abort();
    if (checker.currentEndpoint() != before && learned) std::abort();

    const QString text = QString::fromUtf8(body);
    const int number = VersionToNumber(text);
    (void)number;
    (void)IsNewerVersion(text, QString::fromLatin1(body.left(16)));
    return 0;
}
