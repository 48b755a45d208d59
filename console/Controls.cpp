// The control factories: each control gets its name and its designed place.

#include "frmMainPrivate.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

#include <algorithm>

QPushButton* NewButton(QWidget* parent, const char* name, const char* caption, int left, int top, int width,
                       int height)
{
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(left, top, width, height);
    return button;
}

// The desktop's sans-serif is wider than the font the layout was drawn with,
// and a clipped "Index:" reads as "Index".
QLabel* NewLabel(QWidget* parent, const char* name, const char* caption, int left, int top, int width, int height)
{
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->setObjectName(QLatin1String(name));
    const QSize fit = label->sizeHint();
    label->setGeometry(left, top, std::max(width, fit.width()), std::max(height, fit.height()));
    return label;
}

QLabel* NewFixedLabel(QWidget* parent, const char* name, const char* caption, int left, int top, int width,
                      int height)
{
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(left, top, width, height);
    label->setAlignment(Qt::AlignCenter);
    label->hide();
    return label;
}

QLineEdit* NewEdit(QWidget* parent, const char* name, const char* text, int left, int top, int width, int height)
{
    auto* edit = new QLineEdit(QString::fromLatin1(text), parent);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(left, top, width, height);
    return edit;
}

QComboBox* NewCombo(QWidget* parent, const char* name, const QStringList& items, int left, int top, int width,
                    int height)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setEditable(true);                        // the user may type any text...
    box->setInsertPolicy(QComboBox::NoInsert);     // ...which never becomes an item
    box->addItems(items);
    box->setCurrentIndex(0);
    box->setGeometry(left, top, width, height);
    return box;
}

QProgressBar* NewProgressBar(QWidget* parent, const char* name, int left, int top, int width, int height)
{
    auto* bar = new QProgressBar(parent);
    bar->setObjectName(QLatin1String(name));
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setGeometry(left, top, width, height);
    bar->hide();
    return bar;
}

QWidget* NewPage(QTabWidget* pages, const char* name, const char* caption)
{
    auto* page = new QWidget;
    page->setObjectName(QLatin1String(name));
    pages->addTab(page, QString::fromLatin1(caption));
    return page;
}
