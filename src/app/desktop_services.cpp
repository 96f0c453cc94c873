#include "desktop_services.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

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

void DesktopUrlOpener::open(const QString &path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
}

} // namespace corvane
