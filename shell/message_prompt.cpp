#include "message_prompt.h"

#include "gui_thread.h"

#include <QApplication>
#include <QMessageBox>

namespace tarvelin::shell {

namespace {

using platform::PromptAnswer;
using platform::PromptButtons;
using platform::PromptIcon;

QMessageBox::StandardButtons ButtonsOf(PromptButtons buttons)
{
    switch (buttons) {
    case PromptButtons::Ok:
        return QMessageBox::Ok;
    case PromptButtons::OkCancel:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case PromptButtons::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case PromptButtons::YesNoCancel:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case PromptButtons::RetryCancel:
        return QMessageBox::Retry | QMessageBox::Cancel;
    case PromptButtons::AbortRetryIgnore:
        return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
    }
    return QMessageBox::Ok;
}

QMessageBox::Icon IconOf(PromptIcon icon)
{
    switch (icon) {
    case PromptIcon::None:
        return QMessageBox::NoIcon;
    case PromptIcon::Information:
        return QMessageBox::Information;
    case PromptIcon::Question:
        return QMessageBox::Question;
    case PromptIcon::Warning:
        return QMessageBox::Warning;
    case PromptIcon::Error:
        return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

PromptAnswer AnswerOf(int button, PromptButtons buttons)
{
    switch (button) {
    case QMessageBox::Ok:
        return PromptAnswer::Ok;
    case QMessageBox::Cancel:
        return PromptAnswer::Cancel;
    case QMessageBox::Yes:
        return PromptAnswer::Yes;
    case QMessageBox::No:
        return PromptAnswer::No;
    case QMessageBox::Retry:
        return PromptAnswer::Retry;
    case QMessageBox::Abort:
        return PromptAnswer::Abort;
    case QMessageBox::Ignore:
        return PromptAnswer::Ignore;
    default:
        // The box was closed without a button (Escape, close box).
        return platform::CautiousAnswer(buttons);
    }
}

PromptAnswer ShowBox(const QString& text, const QString& caption, PromptButtons buttons, PromptIcon icon)
{
    QMessageBox box(IconOf(icon), caption, text, ButtonsOf(buttons), QApplication::activeWindow());
    return AnswerOf(box.exec(), buttons);
}

} // namespace

PromptAnswer MessageBoxPrompt::Ask(std::string_view text, std::string_view caption, PromptButtons buttons,
                                   PromptIcon icon)
{
    const QString qtText = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    const QString qtCaption = QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size()));
    return CallOnGuiThread<PromptAnswer>(
        QCoreApplication::instance(), [&] { return ShowBox(qtText, qtCaption, buttons, icon); },
        platform::CautiousAnswer(buttons));
}

} // namespace tarvelin::shell
