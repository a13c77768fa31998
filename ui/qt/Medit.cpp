// The Qt status pane: the text it shows and the mouse presses it ignores.
#include "ui/qt/Medit.h"

#include <QMouseEvent>
#include <QTextCursor>

CMedit::CMedit(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setFrameShape(QFrame::NoFrame);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::TabFocus);
    document()->setDocumentMargin(1);
    // A read-only edit shows the dialog's own background.
    QPalette pal = palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::Window));
    setPalette(pal);
}

QString CMedit::ToDisplay(const std::string& utf8) {
    QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        QChar c = text.at(i);
        if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n') {
            out += u'\n';
            ++i;
        } else if (c != u'\r' && c != u'\n') {
            out += c;
        }
    }
    return out;
}

void CMedit::SetStatusText(const std::string& utf8) {
    QString shown = toPlainText();
    QString text = ToDisplay(utf8);
    if (text == shown) return;
    // Appended text scrolls into view as it does in an edit control; a new text shows its top.
    bool appended = !shown.isEmpty() && text.startsWith(shown);
    setPlainText(text);
    if (appended) {
        moveCursor(QTextCursor::End);
        ensureCursorVisible();
    }
}

void CMedit::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        event->accept();
        return;
    }
    QPlainTextEdit::mousePressEvent(event);
}

void CMedit::mouseDoubleClickEvent(QMouseEvent* event) {
    // A double click would select a word.
    if (event->button() == Qt::LeftButton) {
        event->accept();
        return;
    }
    QPlainTextEdit::mouseDoubleClickEvent(event);
}
