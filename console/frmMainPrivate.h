#pragma once
// What the window's source files share: the control factories with the
// designed geometry, the error guard of the handlers and the long-operation
// count. Not for use outside console/.

#include "frmMain.h"

#include <QMetaObject>
#include <QString>
#include <QStringList>

#include <array>
#include <exception>
#include <initializer_list>
#include <string_view>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QWidget;

QPushButton* NewButton(QWidget* parent, const char* name, const char* caption, int left, int top, int width,
                       int height);
// A caption label sizes itself to its text, growing from the designed place.
QLabel* NewLabel(QWidget* parent, const char* name, const char* caption, int left, int top, int width, int height);
// A fixed-size, hidden label with centred text (the byte counts of the dumps and the capture).
QLabel* NewFixedLabel(QWidget* parent, const char* name, const char* caption, int left, int top, int width,
                      int height);
QLineEdit* NewEdit(QWidget* parent, const char* name, const char* text, int left, int top, int width, int height);
// An editable combo box whose typed text never becomes an item; item 0 selected.
QComboBox* NewCombo(QWidget* parent, const char* name, const QStringList& items, int left, int top, int width,
                    int height);
// A hidden activity bar, 0 to 100.
QProgressBar* NewProgressBar(QWidget* parent, const char* name, int left, int top, int width, int height);
QWidget* NewPage(QTabWidget* pages, const char* name, const char* caption);

template <std::size_t N>
QStringList ItemTexts(const std::array<std::string_view, N>& names)
{
    QStringList items;
    for (std::string_view name : names) items.append(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    return items;
}

template <typename F>
void TfrmMain::Guard(F&& work)
{
    try {
        work();
    } catch (const std::exception& e) {
        ReportError(QString::fromLocal8Bit(e.what()));
    }
}

// Counts a dump, flash write or capture as on the stack. A close that arrived
// meanwhile is carried out once the outermost one has returned, so the
// connection is never torn down under a running operation.
class TfrmMain::TLongOperation {
public:
    explicit TLongOperation(TfrmMain& form) : FForm(form) { ++FForm.FLongDepth; }
    ~TLongOperation()
    {
        if (--FForm.FLongDepth == 0 && FForm.FCloseRequested)
            QMetaObject::invokeMethod(&FForm, [form = &FForm] { form->close(); }, Qt::QueuedConnection);
    }
    TLongOperation(const TLongOperation&) = delete;
    TLongOperation& operator=(const TLongOperation&) = delete;

private:
    TfrmMain& FForm;
};
