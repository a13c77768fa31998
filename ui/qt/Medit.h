// The status pane: a read-only multi-line text field without scroll bars or border that shows the
// page's status text and ignores left mouse presses, so clicking it neither moves the caret nor
// selects while the text keeps being written.
#pragma once

#include <QPlainTextEdit>
#include <string>

class CMedit : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit CMedit(QWidget* parent = nullptr);

    // utf8 is the whole status text; its lines end at CR LF.
    void SetStatusText(const std::string& utf8);
    // Lines break at CR LF only; a lone CR or LF is not shown.
    static QString ToDisplay(const std::string& utf8);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
