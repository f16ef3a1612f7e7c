// Pictures of the program's look for its documentation, taken by
// scripts/screenshot.sh on a virtual display:
//   DIR/skinned-controls.png       every skinned control in every state,
//   DIR/skinned-controls-dark.png  the same in a dark palette,
//   DIR/about-reveal-middle.png    the About dialog halfway through its
//                                  reveal over the main window,
//   DIR/about-reveal-end.png       and once the reveal has ended,
//   DIR/properties-dialog.png      the Properties dialog of the image,
//   DIR/context-menu.png           the main window with the list's context
//                                  menu open on a row (Rename, New Folder).
//   tarvelin-look-shots DIR IMAGE   (IMAGE: opened in the main window)

#include "about_dlg.h"
#include "commands.h"
#include "left_view.h"
#include "properties_dlg.h"
#include "tarvelin_view.h"

#include "edit/iso_edit.h"
#include "look/skin.h"
#include "main_frame.h"
#include "tarvelin_app.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QTreeView>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

using namespace tarvelin::shell;

enum class Column { Normal, Hover, Pressed, Focused, Disabled, Checked };

void Send(QWidget* widget, QEvent::Type type)
{
    const QPointF at(4, widget->height() / 2.0);
    if (type == QEvent::Enter) {
        QEnterEvent event(at, at, widget->mapToGlobal(at));
        QCoreApplication::sendEvent(widget, &event);
    } else if (type == QEvent::FocusIn) {
        QFocusEvent event(type, Qt::OtherFocusReason);
        QCoreApplication::sendEvent(widget, &event);
    } else if (type == QEvent::MouseButtonPress) {
        QMouseEvent event(type, at, widget->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(widget, &event);
    }
}

// One row of the gallery: a control made for a column, or null where the
// kind has no such state.
struct Row {
    const char* name;
    std::function<QWidget*(Column)> make;
};

QWidget* Button(const char* text, bool isDefault, Column column)
{
    auto* button = new QPushButton(QString::fromLatin1(text));
    button->setAutoDefault(false);
    button->setDefault(isDefault);
    if (column == Column::Checked) {
        if (isDefault) {
            delete button;
            return nullptr;
        }
        button->setCheckable(true);
        button->setChecked(true);
    }
    return button;
}

// A plain window, not a dialog: in a dialog only one button can be the
// default.
QWidget* Gallery(bool dark)
{
    auto* dialog = new QWidget;
    dialog->setWindowTitle(QStringLiteral("Skinned controls"));
    if (dark) {
        QPalette palette(QColor(53, 56, 61), QColor(40, 42, 46));
        palette.setColor(QPalette::Window, QColor(40, 42, 46));
        palette.setColor(QPalette::WindowText, QColor(230, 232, 235));
        palette.setColor(QPalette::Base, QColor(30, 31, 34));
        palette.setColor(QPalette::Text, QColor(230, 232, 235));
        palette.setColor(QPalette::Button, QColor(53, 56, 61));
        palette.setColor(QPalette::ButtonText, QColor(230, 232, 235));
        palette.setColor(QPalette::Highlight, QColor(61, 174, 233));
        palette.setColor(QPalette::HighlightedText, QColor(20, 22, 25));
        for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
            palette.setColor(QPalette::Disabled, role, QColor(120, 124, 130));
        }
        dialog->setPalette(palette);
    }
    auto* grid = new QGridLayout(dialog);
    grid->setHorizontalSpacing(14);
    grid->setVerticalSpacing(10);
    const char* columns[] = {"Normal", "Hover", "Pressed", "Focused", "Disabled", "Checked / read-only"};
    for (int c = 0; c < 6; ++c) {
        grid->addWidget(new QLabel(QString::fromLatin1(columns[c])), 0, c + 1);
    }
    const Row rows[] = {
        {"Push button", [](Column c) { return Button("Button", false, c); }},
        {"Default button", [](Column c) { return Button("OK", true, c); }},
        {"Check box",
         [](Column c) {
             auto* box = new QCheckBox(QStringLiteral("Check"));
             box->setChecked(c == Column::Checked);
             return box;
         }},
        {"Three-state",
         [](Column c) {
             auto* box = new QCheckBox(QStringLiteral("Neither"));
             box->setTristate(true);
             box->setCheckState(c == Column::Checked ? Qt::PartiallyChecked : Qt::Unchecked);
             return box;
         }},
        {"Radio button",
         [](Column c) {
             auto* radio = new QRadioButton(QStringLiteral("Radio"));
             radio->setAutoExclusive(false);
             radio->setChecked(c == Column::Checked);
             return radio;
         }},
        {"Edit box",
         [](Column c) {
             auto* edit = new QLineEdit(QStringLiteral("C:\\Tarvelin.iso"));
             edit->setMinimumWidth(110);
             edit->setReadOnly(c == Column::Checked);
             return edit;
         }},
        {"Combo box",
         [](Column c) {
             auto* combo = new QComboBox;
             combo->addItems({QStringLiteral("D:"), QStringLiteral("E:")});
             combo->setEditable(c == Column::Checked);
             return combo;
         }},
    };
    int r = 1;
    for (const Row& row : rows) {
        grid->addWidget(new QLabel(QString::fromLatin1(row.name)), r, 0);
        for (int c = 0; c < 6; ++c) {
            if (QWidget* control = row.make(static_cast<Column>(c)); control != nullptr) {
                control->setEnabled(static_cast<Column>(c) != Column::Disabled);
                grid->addWidget(control, r, c + 1);
            }
        }
        ++r;
    }
    return dialog;
}

// Shows the gallery, puts each control in its column's state and saves it.
bool SaveGallery(bool dark, const QString& path)
{
    QWidget* dialog = Gallery(dark);
    dialog->show();
    QCoreApplication::processEvents();
    auto* grid = static_cast<QGridLayout*>(dialog->layout());
    for (int r = 1; r < grid->rowCount(); ++r) {
        for (int c = 1; c < grid->columnCount(); ++c) {
            QLayoutItem* item = grid->itemAtPosition(r, c);
            QWidget* control = item == nullptr ? nullptr : item->widget();
            if (control == nullptr) {
                continue;
            }
            switch (static_cast<Column>(c - 1)) {
            case Column::Hover:
                Send(control, QEvent::Enter);
                break;
            case Column::Pressed:
                Send(control, QEvent::Enter);
                Send(control, QEvent::MouseButtonPress);
                break;
            case Column::Focused:
                Send(control, QEvent::FocusIn);
                break;
            default:
                break;
            }
        }
    }
    const bool saved = dialog->grab().save(path);
    delete dialog;
    return saved;
}

void Serve(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

// The Properties dialog over the opened image's volume.
bool SaveProperties(CMainFrame& frame, const QString& path)
{
    CTarvelinView* list = frame.GetRightPane();
    if (list == nullptr || list->Controller().Edit() == nullptr) {
        return false;
    }
    CPropertiesDlg dialog(list->Controller().Edit()->GetVolumeProperties(), &frame);
    dialog.show();
    Serve(300);
    return dialog.grab().save(path);
}

// The list's context menu as a right click on the first row opens it,
// drawn where it stands over the main window.
bool SaveContextMenu(CMainFrame& frame, const QString& path)
{
    CTarvelinView* list = frame.GetRightPane();
    if (list == nullptr || list->Model().rowCount() == 0) {
        return false;
    }
    QTreeView* details = list->DetailsView();
    const int row = std::min(2, list->Model().rowCount() - 1);
    details->selectionModel()->select(list->Model().index(row, 0),
                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    const QRect cell = details->visualRect(list->Model().index(row, 0));
    const QPoint at = details->viewport()->mapToGlobal(cell.center());
    QMenu menu(&frame);
    for (int id : ListContextMenuLayout()) {
        if (id == 0) {
            menu.addSeparator();
        } else if (QAction* action = frame.CommandAction(id); action != nullptr) {
            menu.addAction(action);
        }
    }
    menu.popup(at);
    Serve(300);
    QPixmap picture = frame.grab();
    QPainter painter(&picture);
    painter.drawPixmap(frame.mapFromGlobal(menu.pos()), menu.grab());
    painter.end();
    menu.close();
    return picture.save(path);
}

} // namespace

int main(int argc, char** argv)
{
    CTarvelinApp app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: tarvelin-look-shots DIR IMAGE\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!app.InitInstance({QStringLiteral("tarvelin"), QString::fromLocal8Bit(argv[2])})) {
        return 1;
    }
    bool ok = SaveGallery(false, out.filePath(QStringLiteral("skinned-controls.png"))) &&
              SaveGallery(true, out.filePath(QStringLiteral("skinned-controls-dark.png")));

    // The About dialog over the main window, once the window is on the screen.
    Serve(800);
    auto* about = new CAboutDlg(app.MainFrame());
    int saved = 0;
    QObject::connect(about, &CAboutDlg::stripRevealed, about, [&](int drawn, int total) {
        if (drawn == total / 2 || drawn == total) {
            const QString name = drawn == total ? QStringLiteral("about-reveal-end.png")
                                                : QStringLiteral("about-reveal-middle.png");
            saved += about->grab().save(out.filePath(name)) ? 1 : 0;
        }
    });
    about->show();
    Serve(1500);
    if (saved != 2) {
        std::fprintf(stderr, "tarvelin-look-shots: the About dialog did not reveal the screen under it\n");
        ok = false;
    }
    delete about;
    if (!SaveProperties(*app.MainFrame(), out.filePath(QStringLiteral("properties-dialog.png"))) ||
        !SaveContextMenu(*app.MainFrame(), out.filePath(QStringLiteral("context-menu.png")))) {
        std::fprintf(stderr, "tarvelin-look-shots: the Properties dialog or the context menu was not pictured\n");
        ok = false;
    }
    app.ExitInstance();
    return ok ? 0 : 1;
}
