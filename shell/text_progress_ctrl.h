#pragma once

// CTextProgressCtrl: a progress bar that paints itself, with its text drawn
// twice and clipped where the bar ends: over the filled part in the window
// colour, over the rest in the highlight colour, so a character cut by the
// bar's end shows in both. The text is the widget's own text, or, when that
// is empty, the percentage ("37%").
//
// Used by the conversion and capture dialogs; GUI thread only.

#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>

namespace tarvelin::shell {

class CTextProgressCtrl final : public QWidget {
public:
    explicit CTextProgressCtrl(QWidget* parent = nullptr);

    void SetRange(int lower, int upper);
    // Stores the position and returns the previous one; repaints at once
    // when the bar's painted width changes.
    int SetPos(int pos);
    int GetPos() const { return pos_; }
    int Lower() const { return lower_; }
    int Upper() const { return upper_; }

    // The text shown instead of the percentage; repaints when it changed.
    void SetWindowText(const QString& text);
    const QString& WindowText() const { return text_; }
    void SetShowText(bool show);

    QColor BarColour() const { return barColour_; }
    QColor BackColour() const { return backColour_; }
    QColor TextOnBarColour() const { return textOnBarColour_; }
    QColor TextOnBackColour() const { return textOnBackColour_; }
    // The width of the filled part, as last painted; -1 until painted after
    // a size change.
    int LastWidth() const { return lastWidth_; }

    // What the control paints, at its current size: the widget copies it to
    // the screen; tests look at its pixels.
    QImage Render() const;
    // The text painted over the bar.
    QString ShownText() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    double Fraction() const;
    int BarWidth(int clientWidth) const;

    int pos_ = 0;
    int upper_ = 100;
    int lower_ = 0;
    QString text_;
    bool showText_ = true;
    int lastWidth_ = -1;
    QColor barColour_;
    QColor backColour_;
    QColor textOnBackColour_;
    QColor textOnBarColour_;
};

} // namespace tarvelin::shell
