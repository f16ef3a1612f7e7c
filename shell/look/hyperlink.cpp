#include "look/hyperlink.h"

#include "main_frame.h"
#include "shell_services.h"

#include "platform/prompt.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPalette>
#include <QPointer>

#ifdef Q_OS_WIN
#include <QProcess>
#include <QSettings>
#endif

#include <array>
#include <utility>

namespace tarvelin::shell {

namespace {

#ifdef Q_OS_WIN
// The program Windows registers for web pages, started with the address;
// false when none is registered or it does not start.
bool OpenWithRegisteredBrowser(const QString& url)
{
    const QSettings classes(QStringLiteral("HKEY_CLASSES_ROOT"), QSettings::NativeFormat);
    const QString pageClass = classes.value(QStringLiteral(".htm/Default")).toString();
    if (pageClass.isEmpty()) {
        return false;
    }
    const QString command = classes.value(pageClass + QStringLiteral("/shell/open/command/Default")).toString();
    if (command.isEmpty()) {
        return false;
    }
    QStringList arguments = QProcess::splitCommand(LinkCommandLine(command, url));
    if (arguments.isEmpty()) {
        return false;
    }
    const QString program = arguments.takeFirst();
    return QProcess::startDetached(program, arguments);
}
#endif

// The main window, which runs the commands a link posts; null when there is
// none.
CMainFrame* MainWindow()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* frame = qobject_cast<CMainFrame*>(window); frame != nullptr) {
            return frame;
        }
    }
    return nullptr;
}

} // namespace

CHyperLink::CHyperLink(const QString& url, QWidget* parent) : QLabel(url, parent)
{
    setObjectName(QStringLiteral("hyperlink"));
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
    setCursor(Qt::PointingHandCursor);
    // The text lies on whatever its parent draws.
    setAutoFillBackground(false);
    SetUrl(url);
    Recolour();
}

void CHyperLink::SetUrl(const QString& url)
{
    url_ = url;
    setToolTip(url);
}

QColor CHyperLink::TextColour() const
{
    if (hovered_) {
        return palette().color(QPalette::Active, QPalette::Highlight);
    }
    return visited_ ? VisitedColour() : LinkColour();
}

void CHyperLink::Follow()
{
    if (command_ != 0) {
        if (QPointer<CMainFrame> frame = MainWindow(); frame != nullptr) {
            const int id = command_;
            QMetaObject::invokeMethod(
                frame, [frame, id] { frame->RunCommand(id); }, Qt::QueuedConnection);
        }
        return;
    }
    std::optional<OpenError> failure = ShellServices().TryOpen(url_);
#ifdef Q_OS_WIN
    if (failure.has_value() && OpenWithRegisteredBrowser(url_)) {
        failure.reset();
    }
#endif
    if (failure.has_value()) {
        QApplication::beep();
        const QString text = QStringLiteral("Unable to open hyperlink:\n\n") +
                             HyperlinkFailureReason(static_cast<int>(*failure));
        platform::Ask(text.toStdString(), "Tarvelin", platform::PromptButtons::Ok, platform::PromptIcon::Warning);
        return;
    }
    visited_ = true;
    Recolour();
}

void CHyperLink::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        event->accept();
        Follow();
        return;
    }
    QLabel::mousePressEvent(event);
}

void CHyperLink::enterEvent(QEnterEvent* event)
{
    hovered_ = true;
    Recolour();
    QLabel::enterEvent(event);
}

void CHyperLink::leaveEvent(QEvent* event)
{
    hovered_ = false;
    Recolour();
    QLabel::leaveEvent(event);
}

void CHyperLink::changeEvent(QEvent* event)
{
    // The hover colour is the desktop's highlight, which may change.
    if (event->type() == QEvent::ApplicationPaletteChange) {
        Recolour();
    }
    QLabel::changeEvent(event);
}

void CHyperLink::Recolour()
{
    QPalette colours = palette();
    const QColor colour = TextColour();
    if (colours.color(QPalette::WindowText) != colour) {
        colours.setColor(QPalette::WindowText, colour);
        setPalette(colours);
    }
}

QString HyperlinkFailureReason(int code)
{
    static const std::array<std::pair<int, const char*>, 13> reasons{{
        {0, "The operating system is out\nof memory or resources."},
        {2, "The specified file was not found."},
        {3, "The specified path was not found."},
        {5, "The operating system denied\naccess to the specified file."},
        {8, "There was not enough memory to complete the operation."},
        {11, "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."},
        {26, "A sharing violation occurred. "},
        {27, "The filename association is\nincomplete or invalid."},
        {28, "The DDE transaction could not\nbe completed because the request timed out."},
        {29, "The DDE transaction failed."},
        {30, "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed."},
        {31, "There is no application associated\nwith the given filename extension."},
        {32, "The specified dynamic-link library was not found."},
    }};
    for (const auto& [number, reason] : reasons) {
        if (number == code) {
            return QString::fromLatin1(reason);
        }
    }
    return QStringLiteral("Unknown Error (%1) occurred.").arg(code);
}

QString LinkCommandLine(const QString& command, const QString& url)
{
    QString line = command;
    if (const qsizetype at = line.indexOf(QStringLiteral("%1")); at >= 0) {
        const bool quoted = at > 0 && line[at - 1] == QLatin1Char('"');
        line.truncate(quoted ? at - 1 : at);
    }
    line = line.trimmed();
    return line + QLatin1Char(' ') + url;
}

} // namespace tarvelin::shell
