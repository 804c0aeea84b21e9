#include "outcome.h"
#include "serialline.h"
#include "widget.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName("QIVO");
    QCoreApplication::setApplicationName("qivo-dfu");
    QCoreApplication::setApplicationVersion(QT_STRINGIFY(QIVO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription("Flash a firmware image into a QIVO device over a serial port.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption port({"p", "port"},
                                  "Start with PATH as the chosen port, such as a simulated device's link "
                                  "/tmp/qivo0; it is listed while it exists.",
                                  "PATH");
    parser.addOption(port);
    parser.addPositionalArgument("FILE", "The firmware image (.bin) to start with.", "[FILE.bin]");

    // Help and version are answered before the application looks for a
    // display, so they work on a console. Qt's own options (-platform, ...)
    // are only known once the application has taken them out.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    parser.parse(arguments);
    if (parser.isSet(help)) {
        const QCoreApplication console(argc, argv); // the usage line names the program from it
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("qivo-dfu %s\n", QT_STRINGIFY(QIVO_VERSION));
        return 0;
    }

    QApplication a(argc, argv);
    parser.process(a);
    if (parser.positionalArguments().size() > 1) {
        std::fputs("qivo-dfu: one FILE at most\n", stderr);
        return ExitCode::Usage;
    }
    Widget w;
    const QString file = parser.positionalArguments().value(0);
    if (!file.isEmpty()) {
        const QFileInfo info(file);
        if (info.isFile() && info.isReadable())
            w.setFirmware(info.absoluteFilePath());
        else
            std::fprintf(stderr, "qivo-dfu: %s is not a readable file; choose one in the window\n", qPrintable(file));
    }
    if (parser.isSet(port)) {
        const QString name = parser.value(port);
        w.setPort(name);
        if (!QFileInfo::exists(SerialLine::systemLocation(name)))
            std::fprintf(stderr, "qivo-dfu: no port %s yet; it is listed once it exists\n", qPrintable(name));
    }
    w.show();
    return a.exec();
}
