#pragma once

// CHyperLink: a text that opens an address when clicked. Underlined, in the
// link colour, in the highlight colour while the mouse is over it and in the
// visited colour once opened; a hand cursor, and the address as its tooltip.
// With a command number it runs that command in the main window instead.

#include <QColor>
#include <QLabel>
#include <QString>

namespace tarvelin::shell {

class CHyperLink final : public QLabel {
public:
    explicit CHyperLink(const QString& url, QWidget* parent = nullptr);

    // The address, also shown as the tooltip.
    void SetUrl(const QString& url);
    const QString& Url() const { return url_; }
    // A click posts this command to the main window; 0 opens the address.
    void SetCommand(int id) { command_ = id; }
    int Command() const { return command_; }
    bool Visited() const { return visited_; }
    bool Hovered() const { return hovered_; }

    // What a click does.
    void Follow();

    static QColor LinkColour() { return {0, 0, 238}; }
    static QColor VisitedColour() { return {85, 26, 139}; }
    // The colour the text is drawn in now.
    QColor TextColour() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Recolour();

    QString url_;
    int command_ = 0;
    bool visited_ = false;
    bool hovered_ = false;
};

// The reason a failed open gives after "Unable to open hyperlink:\n\n", by
// the shell's error code.
QString HyperlinkFailureReason(int code);

// The command line that opens url with a program registered as `command`
// (such as "C:\browser.exe" -osint -url "%1"): the text before the first
// "%1" (a quotation mark right before it goes too), a blank, and the url.
QString LinkCommandLine(const QString& command, const QString& url);

} // namespace tarvelin::shell
