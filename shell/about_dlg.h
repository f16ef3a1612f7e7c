#pragma once

// CAboutDlg: the program's name and version in blue on a captionless
// dialog, with a link to its home page. A left click anywhere but on the
// link closes it as OK; the link opens its address on the desktop.
//
// When it first shows, the screen under it comes back strip by strip over
// grey (see look/reveal.h), one strip a millisecond, driven by a timer. Where
// the screen cannot be read (Wayland), the dialog has its plain background.

#include "look/hyperlink.h"

#include <QDialog>
#include <QImage>
#include <QString>
#include <QTimer>

#include <vector>

namespace tarvelin::shell {

// The address the About dialog links to: the user guide that ships with
// the program (where an installed one would be, when it is missing).
QString AboutLinkAddress();

class CAboutDlg final : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    CHyperLink* Link() const { return link_; }

    static QColor TextColour() { return {0, 0, 255}; }

    // Starts the reveal of `screen` (the dialog's size, in device pixels):
    // the canvas turns grey and the strips follow in `order`.
    void StartReveal(const QImage& screen, std::vector<int> order);
    // The grey canvas with the strips drawn so far; null without a reveal.
    const QImage& RevealCanvas() const { return canvas_; }
    bool Revealing() const { return timer_.isActive(); }

signals:
    // After each strip: how many are drawn, of how many.
    void stripRevealed(int drawn, int total);

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void RevealNextStrip();
    // The screen under the dialog; null where it cannot be read.
    QImage ScreenUnder() const;

    CHyperLink* link_;
    bool revealBegun_ = false;
    QImage screen_;
    QImage canvas_;
    std::vector<int> order_;
    std::size_t drawn_ = 0;
    QTimer timer_;
};

} // namespace tarvelin::shell
