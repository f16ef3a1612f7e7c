#include "text_progress_ctrl.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPalette>

namespace tarvelin::shell {

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QWidget(parent)
{
    const QPalette& colours = palette();
    barColour_ = colours.color(QPalette::Active, QPalette::Highlight);
    backColour_ = colours.color(QPalette::Active, QPalette::Base);
    textOnBackColour_ = barColour_;
    textOnBarColour_ = backColour_;
    // The paint covers every pixel; nothing is erased first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CTextProgressCtrl::SetRange(int lower, int upper)
{
    lower_ = lower;
    upper_ = upper;
    lastWidth_ = -1;
    update();
}

double CTextProgressCtrl::Fraction() const
{
    return static_cast<double>(pos_ - lower_) / static_cast<double>(upper_ - lower_);
}

int CTextProgressCtrl::BarWidth(int clientWidth) const
{
    if (lower_ >= upper_) {
        return 0;
    }
    return static_cast<int>(Fraction() * clientWidth);
}

int CTextProgressCtrl::SetPos(int pos)
{
    const int previous = pos_;
    pos_ = pos;
    const int width = BarWidth(this->width());
    if (width == lastWidth_) {
        return previous;
    }
    lastWidth_ = width;
    repaint();
    return previous;
}

void CTextProgressCtrl::SetWindowText(const QString& text)
{
    if (text == text_) {
        return;
    }
    text_ = text;
    repaint();
}

void CTextProgressCtrl::SetShowText(bool show)
{
    showText_ = show;
    update();
}

QString CTextProgressCtrl::ShownText() const
{
    if (!text_.isEmpty()) {
        return text_;
    }
    if (lower_ >= upper_) {
        return {};
    }
    return QStringLiteral("%1%").arg(static_cast<int>(Fraction() * 100));
}

QImage CTextProgressCtrl::Render() const
{
    QImage image(size(), QImage::Format_RGB32);
    if (image.isNull()) {
        return image;
    }
    image.fill(backColour_);
    if (lower_ >= upper_) {
        return image;
    }
    const QRect client = image.rect();
    const QRect bar(0, 0, BarWidth(client.width()), client.height());
    const QRect rest(bar.width(), 0, client.width() - bar.width(), client.height());
    QPainter painter(&image);
    painter.fillRect(bar, barColour_);
    painter.fillRect(rest, backColour_);
    if (showText_) {
        const QString text = ShownText();
        painter.setFont(font());
        painter.setClipRect(bar);
        painter.setPen(textOnBarColour_);
        painter.drawText(client, Qt::AlignCenter | Qt::TextSingleLine, text);
        painter.setClipRect(rest);
        painter.setPen(textOnBackColour_);
        painter.drawText(client, Qt::AlignCenter | Qt::TextSingleLine, text);
    }
    return image;
}

void CTextProgressCtrl::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.drawImage(0, 0, Render());
}

void CTextProgressCtrl::resizeEvent(QResizeEvent* event)
{
    lastWidth_ = -1;
    QWidget::resizeEvent(event);
}

QSize CTextProgressCtrl::sizeHint() const
{
    return {240, fontMetrics().height() + 8};
}

} // namespace tarvelin::shell
