#pragma once

// CAboutDlg: the program's name and version in blue on a captionless
// dialog, with a link to its home page. A left click anywhere but on the
// link closes it as OK; the link opens its address on the desktop.

#include <QDialog>
#include <QLabel>
#include <QString>

namespace tarvelin::shell {

// The address the About dialog links to.
inline constexpr const char* kHomePageAddress = "https://tarvelin.example.org/";

// A text that opens an address when clicked: underlined, in the link colour,
// the hover colour under the mouse and the visited colour once opened.
class CHyperLink final : public QLabel {
public:
    CHyperLink(const QString& address, QWidget* parent = nullptr);

    const QString& Address() const { return address_; }
    bool Visited() const { return visited_; }
    // Opens the address through the desktop services; a failure is said.
    void Open();

    static QColor LinkColour() { return {0, 0, 238}; }
    static QColor VisitedColour() { return {85, 26, 139}; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void Recolour();

    QString address_;
    bool visited_ = false;
    bool hovered_ = false;
};

class CAboutDlg final : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    CHyperLink* Link() const { return link_; }

    static QColor TextColour() { return {0, 0, 255}; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    CHyperLink* link_;
};

} // namespace tarvelin::shell
