#include "about_dlg.h"

#include "look/reveal.h"
#include "user_guide.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

#include <random>

namespace tarvelin::shell {

QString AboutLinkAddress()
{
    QString lookedFor;
    if (!UserGuide(&lookedFor).isEmpty()) {
        return UserGuideAddress().toString();
    }
    return QUrl::fromLocalFile(lookedFor).toString();
}

namespace {

void SetTextColour(QWidget* widget, const QColor& colour)
{
    QPalette colours = widget->palette();
    colours.setColor(QPalette::WindowText, colour);
    widget->setPalette(colours);
}

} // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QStringLiteral("About Tarvelin"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    const char* lines[] = {
        "Tarvelin Version 4.0",
        "Opens, edits, builds and converts CD-ROM images:",
        "ISO 9660 with Joliet names and El Torito boot images,",
        "raw BIN images with their CUE sheets, and images read from a CD.",
        "Copyright (C) The Tarvelin developers",
    };
    for (const char* line : lines) {
        auto* text = new QLabel(QString::fromUtf8(line), this);
        text->setObjectName(QStringLiteral("aboutText"));
        SetTextColour(text, TextColour());
        layout->addWidget(text);
    }
    link_ = new CHyperLink(AboutLinkAddress(), this);
    layout->addWidget(link_);

    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(1);
    connect(&timer_, &QTimer::timeout, this, &CAboutDlg::RevealNextStrip);
}

void CAboutDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The dialog is not on the screen yet: what the screen shows there now
    // is what lies under it.
    if (revealBegun_) {
        return;
    }
    revealBegun_ = true;
    const QImage screen = ScreenUnder();
    if (screen.isNull()) {
        return;
    }
    std::mt19937 random{std::random_device{}()};
    StartReveal(screen, RevealOrder(RevealStripCount(screen.height()), [&random](int count) {
                    return std::uniform_int_distribution<int>(0, count - 1)(random);
                }));
}

QImage CAboutDlg::ScreenUnder() const
{
    // Wayland lets no program read the screen.
    if (QGuiApplication::platformName().startsWith(QStringLiteral("wayland"))) {
        return {};
    }
    QScreen* display = screen();
    if (display == nullptr) {
        return {};
    }
    const QPoint origin = mapToGlobal(QPoint(0, 0)) - display->geometry().topLeft();
    const QPixmap shot = display->grabWindow(0, origin.x(), origin.y(), width(), height());
    if (shot.isNull()) {
        return {};
    }
    return shot.toImage().convertToFormat(QImage::Format_RGB32);
}

void CAboutDlg::StartReveal(const QImage& screen, std::vector<int> order)
{
    screen_ = screen.convertToFormat(QImage::Format_RGB32);
    canvas_ = QImage(screen_.size(), QImage::Format_RGB32);
    canvas_.setDevicePixelRatio(screen.devicePixelRatio());
    canvas_.fill(QColor(128, 128, 128));
    order_ = std::move(order);
    drawn_ = 0;
    timer_.start();
    update();
}

void CAboutDlg::RevealNextStrip()
{
    if (drawn_ >= order_.size()) {
        timer_.stop();
        return;
    }
    DrawRevealStrip(canvas_, screen_, order_[drawn_], true);
    ++drawn_;
    if (drawn_ == order_.size()) {
        timer_.stop();
        // The copy has served its purpose.
        screen_ = QImage();
    }
    update();
    emit stripRevealed(static_cast<int>(drawn_), static_cast<int>(order_.size()));
}

void CAboutDlg::paintEvent(QPaintEvent* event)
{
    if (canvas_.isNull()) {
        QDialog::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), canvas_);
}

void CAboutDlg::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        accept();
        return;
    }
    QDialog::mousePressEvent(event);
}

} // namespace tarvelin::shell
