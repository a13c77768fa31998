// The main window: a fixed-size frame with a tab control that hosts the updater page, and the
// page's controls (picture, progress bar, status pane, update button).
#pragma once

#include <QDialog>
#include <QFont>
#include <QFrame>
#include <QMessageBox>
#include <QPointer>
#include <QRect>
#include <memory>
#include <string>

#include "app/KalvoDlg.h"
#include "ui/qt/QtWindowSystem.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTabWidget;
class CMedit;
class CSession;

// Dialog units of a font, converted to pixels the way dialog templates are laid out.
class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);
    QRect Map(int x, int y, int cx, int cy) const;
    int BaseX() const { return m_nBaseX; }
    int BaseY() const { return m_nBaseY; }

private:
    int m_nBaseX;  // average character width
    int m_nBaseY;  // character height
};

// The page window: child of the tab control, thin border, no caption.
class CPageView : public QFrame {
    Q_OBJECT
public:
    CPageView(const CDialogUnits& units, QWidget* parent);

    QLabel* Picture() const { return m_pPicture; }
    QProgressBar* Progress() const { return m_pProgress; }
    CMedit* Status() const { return m_pStatus; }
    QPushButton* UpdateButton() const { return m_pButton; }
    QLabel* Notice() const { return m_pNotice; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void ShowPicture();

    QRect m_pictureRect;
    QLabel* m_pPicture;
    QProgressBar* m_pProgress;
    CMedit* m_pStatus;
    QPushButton* m_pButton;
    QLabel* m_pNotice;
};

class CMainPage : public QDialog {
    Q_OBJECT
public:
    // session may be null; it is told the page's milestones and starts the service operations.
    CMainPage(CSession* session, PageConfig config, QWidget* parent = nullptr);
    ~CMainPage() override;

    // Ends the page: its window clean-up, then the page object with its worker thread.
    void Shutdown();

    // For the tests and the screenshot.
    CKalvoDlg* Page() const { return m_pPage.get(); }
    QTabWidget* Tab() const { return m_pTab; }
    CPageView* View() const { return m_pView; }
    CQtWindowSystem* WindowSystem() const { return m_pWnd.get(); }
    QAction* AboutAction() const { return m_pAbout; }
    // The question asked before a close stops a payload being written; null when none is open.
    QMessageBox* CloseQuestion() const { return m_pCloseQuestion.data(); }

public slots:
    void done(int result) override;
    // The close box, Alt+F4, the window menu and Esc all come here.
    void reject() override;

private:
    void OnInitDialog();
    void OnPageEvent(PageEvent event, const std::string& detail);
    void ShowAbout();
    void AskBeforeStop();

    CSession* m_pSession;
    QTabWidget* m_pTab = nullptr;
    CPageView* m_pView = nullptr;
    QAction* m_pAbout = nullptr;
    QPointer<QMessageBox> m_pCloseQuestion;
    bool m_bStopConfirmed = false;
    // The page calls its window system until it is gone, so it is declared after it.
    std::unique_ptr<CQtWindowSystem> m_pWnd;
    std::unique_ptr<CKalvoDlg> m_pPage;
};

// The program's icon and picture, from the resources.
QIcon KalvoIcon();
QImage KalvoPicture(const QSize& size);
