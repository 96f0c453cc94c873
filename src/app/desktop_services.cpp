#include "desktop_services.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>

namespace corvane {

void DesktopMessageBoxes::inform(const QString &caption, const QString &text) {
    QMessageBox::information(m_parent, caption, text);
}

bool DesktopMessageBoxes::confirm(const QString &caption, const QString &text) {
    return QMessageBox::warning(m_parent, caption, text, QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No) == QMessageBox::Yes;
}

QString DesktopFileDialogs::saveFileName(const QString &filter, const QString &defaultSuffix) {
    QFileDialog dialog(m_parent, QString(), m_lastPath, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(defaultSuffix);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    m_lastPath = dialog.selectedFiles().constFirst();
    return m_lastPath;
}

QString DesktopFileDialogs::openFileName(const QString &filter) {
    const QString path = QFileDialog::getOpenFileName(m_parent, QString(), m_lastPath, filter);
    if (!path.isEmpty())
        m_lastPath = path;
    return path;
}

namespace {

// xdg-open's exit codes: 2 the file is missing, 3 no program for it, 4 the program failed.
QString openProblem(const QString &path, int exitCode) {
    switch (exitCode) {
    case 2:
        return QStringLiteral("The user manual %1 was not found.").arg(path);
    case 3:
        return QStringLiteral("No program to open PDF files was found. The user manual is %1")
            .arg(path);
    default:
        return QStringLiteral("The user manual %1 could not be opened (xdg-open ended with code "
                              "%2).")
            .arg(path)
            .arg(exitCode);
    }
}

} // namespace

DesktopUrlOpener::~DesktopUrlOpener() {
    for (QProcess *process : findChildren<QProcess *>())
        process->disconnect();
}

void DesktopUrlOpener::open(const QString &path, Failure failed) {
    const QString file = QFileInfo(path).absoluteFilePath();
    auto *process = new QProcess(this);
    connect(process, &QProcess::errorOccurred, process,
            [process, file, failed](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart)
                    return;
                if (failed)
                    failed(QStringLiteral("No program to open PDF files was found (xdg-open is "
                                          "not installed). The user manual is %1")
                               .arg(file));
                process->deleteLater();
            });
    connect(process, &QProcess::finished, process,
            [process, file, failed](int exitCode, QProcess::ExitStatus status) {
                if (failed && (status != QProcess::NormalExit || exitCode != 0))
                    failed(openProblem(file, status == QProcess::NormalExit ? exitCode : -1));
                process->deleteLater();
            });
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(QStringLiteral("xdg-open"), {file});
}

} // namespace corvane
