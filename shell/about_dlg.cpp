#include "about_dlg.h"

#include "shell_services.h"

#include "platform/prompt.h"

#include <QMouseEvent>
#include <QPalette>
#include <QVBoxLayout>

namespace tarvelin::shell {

namespace {

void SetTextColour(QWidget* widget, const QColor& colour)
{
    QPalette colours = widget->palette();
    colours.setColor(QPalette::WindowText, colour);
    widget->setPalette(colours);
}

} // namespace

CHyperLink::CHyperLink(const QString& address, QWidget* parent) : QLabel(address, parent), address_(address)
{
    setObjectName(QStringLiteral("hyperlink"));
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
    setCursor(Qt::PointingHandCursor);
    setToolTip(address);
    Recolour();
}

void CHyperLink::Open()
{
    if (!ShellServices().Open(address_)) {
        platform::Ask("Unable to open hyperlink:\n\nThe desktop has no program to open " + address_.toStdString(),
                      "Tarvelin", platform::PromptButtons::Ok, platform::PromptIcon::Warning);
        return;
    }
    visited_ = true;
    Recolour();
}

void CHyperLink::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        event->accept();
        Open();
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

void CHyperLink::Recolour()
{
    const QColor colour = hovered_ ? palette().color(QPalette::Active, QPalette::Highlight)
                          : visited_ ? VisitedColour()
                                     : LinkColour();
    SetTextColour(this, colour);
}

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
    link_ = new CHyperLink(QString::fromUtf8(kHomePageAddress), this);
    layout->addWidget(link_);
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
