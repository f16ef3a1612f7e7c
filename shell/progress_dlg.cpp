#include "progress_dlg.h"

#include "gui_thread.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdint>
#include <functional>

namespace tarvelin::shell {

namespace {

// Escape and the title bar's close button count as Cancel: they raise the
// flag and leave the dialog up, as the button does.
class ProgressWindow final : public QDialog {
public:
    ProgressWindow(QWidget* owner, std::function<void()> onCancel) : QDialog(owner), onCancel_(std::move(onCancel)) {}
    void reject() override { onCancel_(); }

private:
    std::function<void()> onCancel_;
};

} // namespace

CProgressDlg::CProgressDlg(QString caption) : caption_(std::move(caption)) {}

CProgressDlg::~CProgressDlg()
{
    Destroy();
}

bool CProgressDlg::Create(QWidget* owner)
{
    if (window_ != nullptr) {
        return false;
    }
    QWidget* topOwner = owner != nullptr ? owner->window() : nullptr;
    auto* window = new ProgressWindow(topOwner, [this] { cancelled_.store(true); });
    window->setObjectName(QStringLiteral("progressDialog"));
    window->setModal(false);
    window->setWindowTitle(caption_);
    auto* percent = new QLabel(QStringLiteral(" 0 %"), window);
    percent->setObjectName(QStringLiteral("percentText"));
    percent->setAlignment(Qt::AlignCenter);
    auto* bar = new QProgressBar(window);
    bar->setObjectName(QStringLiteral("progressBar"));
    bar->setTextVisible(false);
    bar->setRange(lower_, upper_);
    bar->setValue(lower_);
    bar->setMinimumWidth(231);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), window);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    QObject::connect(cancel, &QPushButton::clicked, window, [this] { cancelled_.store(true); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(window);
    layout->addWidget(percent);
    layout->addWidget(bar);
    layout->addLayout(buttons);

    window_ = window;
    bar_ = bar;
    percent_ = percent;
    cancelButton_ = cancel;
    pos_ = lower_;
    window->show();
    return true;
}

void CProgressDlg::Destroy()
{
    delete window_.data();
    window_ = nullptr;
}

void CProgressDlg::Show()
{
    if (window_ != nullptr) {
        window_->show();
        window_->raise();
    }
}

void CProgressDlg::Hide()
{
    if (window_ != nullptr) {
        window_->hide();
    }
}

bool CProgressDlg::IsVisible() const
{
    return window_ != nullptr && window_->isVisible();
}

void CProgressDlg::SetRange(int lower, int upper)
{
    lower_ = lower;
    upper_ = upper;
    if (bar_ != nullptr) {
        bar_->setRange(lower, upper);
    }
}

void CProgressDlg::SetStep(int step)
{
    // A standard bar has no step of its own; the value is kept for whoever
    // asks the dialog to step.
    step_ = step;
}

QString CProgressDlg::PercentText(int pos, int lower, int upper)
{
    if (upper == lower) {
        return {};
    }
    std::int64_t percent =
        (static_cast<std::int64_t>(pos) - lower) * 100 / (static_cast<std::int64_t>(upper) - lower);
    if (percent != 100) {
        percent %= 100;
    }
    return QStringLiteral("%1%").arg(percent);
}

QString CProgressDlg::ShownPercent() const
{
    return percent_ != nullptr ? percent_->text() : QString();
}

int CProgressDlg::SetPos(int pos)
{
    PumpGuiEvents();
    return UpdatePos(pos);
}

int CProgressDlg::UpdatePos(int pos)
{
    const int previous = pos_;
    pos_ = pos;
    if (bar_ != nullptr) {
        // The standard bar shows positions beyond its range as its ends.
        bar_->setValue(std::clamp(pos, std::min(lower_, upper_), std::max(lower_, upper_)));
    }
    const QString text = PercentText(pos, lower_, upper_);
    if (percent_ != nullptr && !text.isEmpty() && percent_->text() != text) {
        percent_->setText(text);
    }
    return previous;
}

bool CProgressDlg::CheckCancelButton()
{
    PumpGuiEvents();
    return cancelled_.exchange(false);
}

} // namespace tarvelin::shell
