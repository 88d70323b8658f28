#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The companion tool tamrixdata-db run as a separate process, the way users and scripts run it.
struct ToolRun {
    int exitCode = -1; // -1 when it did not end normally (a signal)
    QString out;
    QString err;
};

struct ToolOptions {
    QString workingDirectory; // empty: the test's own
    // Shell commands run first in the tool's own process ("ulimit -f 8"), with SIGXFSZ ignored so
    // that a write past a size limit fails instead of killing the tool.
    QString shellPrefix;
};

inline ToolOptions InFolder(const QString& folder) {
    ToolOptions options;
    options.workingDirectory = folder;
    return options;
}

inline ToolOptions UnderShell(const QString& prefix) {
    ToolOptions options;
    options.shellPrefix = prefix;
    return options;
}

inline ToolRun RunTool(const QStringList& arguments, const ToolOptions& options = {}) {
    QProcess process;
    process.setWorkingDirectory(options.workingDirectory);
    if (options.shellPrefix.isEmpty())
        process.start(QStringLiteral(TAMRIX_DEMO_TOOL), arguments);
    else
        process.start("/bin/sh", QStringList{"-c", "trap '' XFSZ; " + options.shellPrefix + "; exec \"$0\" \"$@\"",
                                             QStringLiteral(TAMRIX_DEMO_TOOL)} +
                                     arguments);
    if (!process.waitForStarted(-1) || !process.waitForFinished(-1))
        qFatal("cannot run %s", TAMRIX_DEMO_TOOL);
    ToolRun run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}
