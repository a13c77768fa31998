// The main window on Qt: dialog units, the page's view (picture, progress bar, status pane,
// button) laid out at the dialog's own sizes, the About box, and the page events handed to the
// session.
#include "ui/qt/MainPage.h"

#include <QAction>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

#include "app/PageTexts.h"
#include "core/Version.h"
#include "ui/Session.h"
#include "ui/qt/Medit.h"

// Resources of a static library are not linked in unless something names them.
static void InitKalvoResources() {
    Q_INIT_RESOURCE(kalvo);
}

namespace {

const char* const kTitle = "Zorvik Tool v0.2";
const char* const kAboutEntry = "关于 Kalvo(&A)...";
// The buttons of the close question, in its language.
const char* const kYes = "Да";
const char* const kNo = "Нет";

int MulDiv(int value, int num, int den) {
    return (value * num + den / 2) / den;
}

// The dialogs were laid out for an 8-point sans serif.
QFont DialogFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(8);
    return font;
}

}  // namespace

QIcon KalvoIcon() {
    InitKalvoResources();
    QIcon icon;
    for (int size : {32, 64, 256})
        icon.addFile(QStringLiteral(":/kalvo-%1.png").arg(size), QSize(size, size));
    // Crisp at every size where Qt can read SVG.
    if (QImageReader(QStringLiteral(":/kalvo.svg")).canRead())
        icon.addFile(QStringLiteral(":/kalvo.svg"));
    return icon;
}

QImage KalvoPicture(const QSize& size) {
    InitKalvoResources();
    if (size.isEmpty()) return {};
    QImage image;
    QImageReader svg(QStringLiteral(":/device.svg"));
    if (svg.canRead()) {
        svg.setScaledSize(svg.size().scaled(size, Qt::KeepAspectRatioByExpanding));
        image = svg.read();
    }
    if (image.isNull()) {
        image = QImage(QStringLiteral(":/device.png"))
                    .scaled(size, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    }
    if (image.isNull()) return {};
    // Fill the control and keep the proportions: trim what sticks out on either side.
    return image.copy((image.width() - size.width()) / 2, (image.height() - size.height()) / 2,
                      size.width(), size.height());
}

// ---------------------------------------------------------------------------------------------

CDialogUnits::CDialogUnits(const QFont& font) {
    QFontMetrics fm(font);
    int width = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nBaseX = (width / 26 + 1) / 2;
    m_nBaseY = fm.height();
}

QRect CDialogUnits::Map(int x, int y, int cx, int cy) const {
    int left = MulDiv(x, m_nBaseX, 4);
    int top = MulDiv(y, m_nBaseY, 8);
    int right = MulDiv(x + cx, m_nBaseX, 4);
    int bottom = MulDiv(y + cy, m_nBaseY, 8);
    return QRect(left, top, right - left, bottom - top);
}

// ---------------------------------------------------------------------------------------------

CPageView::CPageView(const CDialogUnits& units, QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("CKalvoDlg"));
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    setAutoFillBackground(true);
    // Children sit in the client area, inside the border.
    QPoint client = contentsRect().topLeft();

    m_pictureRect = units.Map(0, 0, 274, 111).translated(client);
    m_pPicture = new QLabel(this);
    m_pPicture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pPicture->setGeometry(m_pictureRect);
    ShowPicture();

    m_pProgress = new QProgressBar(this);
    m_pProgress->setGeometry(units.Map(9, 122, 250, 16).translated(client));
    m_pProgress->setRange(0, 100);
    m_pProgress->setValue(0);
    m_pProgress->setTextVisible(false);

    m_pStatus = new CMedit(this);
    m_pStatus->setGeometry(units.Map(8, 145, 198, 30).translated(client));

    m_pButton = new QPushButton(QStringLiteral("Обновление"), this);
    m_pButton->setGeometry(units.Map(207, 144, 52, 18).translated(client));
    // Enter must not start an update.
    m_pButton->setAutoDefault(false);

    // Under the pane, in the room the page leaves below it: two lines of the page's font.
    m_pNotice = new QLabel(this);
    m_pNotice->setObjectName(QStringLiteral("notice"));
    m_pNotice->setGeometry(units.Map(8, 176, 258, 16).translated(client));
    m_pNotice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pNotice->setWordWrap(true);
    m_pNotice->setTextFormat(Qt::PlainText);
}

void CPageView::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    // The picture is a little wider than the page once the page sits in the tab control; it is
    // cut off at the border instead of covering it.
    m_pPicture->setGeometry(m_pictureRect.intersected(contentsRect()));
}

void CPageView::ShowPicture() {
    qreal ratio = devicePixelRatioF();
    QImage image = KalvoPicture(m_pictureRect.size() * ratio);
    image.setDevicePixelRatio(ratio);
    m_pPicture->setPixmap(QPixmap::fromImage(image));
}

// ---------------------------------------------------------------------------------------------

CMainPage::CMainPage(CSession* session, PageConfig config, QWidget* parent)
    : QDialog(parent), m_pSession(session), m_pWnd(std::make_unique<CQtWindowSystem>()) {
    InitKalvoResources();
    setWindowTitle(QString::fromUtf8(kTitle));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(KalvoIcon());
    setFont(DialogFont());
    CDialogUnits units(font());
    setFixedSize(units.Map(0, 0, 282, 203).size());

    m_pTab = new QTabWidget(this);
    m_pTab->setGeometry(units.Map(4, 4, 274, 195));

    // The window menu of the desktop is not ours to extend: the entry is on the context menu.
    m_pAbout = new QAction(QString::fromUtf8(kAboutEntry), this);
    connect(m_pAbout, &QAction::triggered, this, &CMainPage::ShowAbout);
    addAction(m_pAbout);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    m_pWnd->SetEventHandler(
        [this](PageEvent event, const std::string& detail) { OnPageEvent(event, detail); });
    m_pPage = std::make_unique<CKalvoDlg>(m_pWnd.get(), std::move(config));
    m_pView = new CPageView(units, m_pTab);
    OnInitDialog();
}

CMainPage::~CMainPage() {
    Shutdown();
}

void CMainPage::OnInitDialog() {
    m_pWnd->Attach(
        {m_pView->Progress(), m_pView->Status(), m_pView->UpdateButton(), this, m_pView->Notice()});
    connect(m_pView->UpdateButton(), &QPushButton::clicked, this, [this] {
        if (m_pPage) m_pPage->OnBnClickedUpdate();
    });
    m_pPage->OnInitDialog();
    // The tab control has no tabs: the page fills it but for its left, right and bottom edges.
    QRect rc = m_pTab->rect();
    m_pView->setGeometry(rc.left() + 1, rc.top(), rc.width() - 2, rc.height() - 1);
    m_pView->raise();
    m_pView->show();
}

void CMainPage::done(int result) {
    QDialog::done(result);
    Shutdown();
}

void CMainPage::reject() {
    // Stopping a payload half-written leaves the device without it: the user says so first.
    if (m_pPage && m_pPage->IsWriting() && !m_bStopConfirmed) {
        AskBeforeStop();
        return;
    }
    QDialog::reject();
}

void CMainPage::AskBeforeStop() {
    if (m_pCloseQuestion) {
        m_pCloseQuestion->raise();
        m_pCloseQuestion->activateWindow();
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Warning, QString::fromUtf8(TEXT_CLOSE_CAPTION),
                                QString::fromUtf8(TEXT_CLOSE_QUESTION),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->button(QMessageBox::Yes)->setText(QString::fromUtf8(kYes));
    box->button(QMessageBox::No)->setText(QString::fromUtf8(kNo));
    // Enter, Esc and the box's own close keep the run going.
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    m_pCloseQuestion = box;
    // Window-modal without a nested loop: the run goes on while the question is open.
    connect(box, &QMessageBox::finished, this, [this, box](int) {
        if (box->clickedButton() != box->button(QMessageBox::Yes)) return;
        m_bStopConfirmed = true;
        close();
    });
    box->open();
}

void CMainPage::Shutdown() {
    if (!m_pPage) return;
    m_pPage->OnDestroy();
    // Stops the page's worker thread.
    m_pPage.reset();
    m_pWnd->Detach();
}

void CMainPage::OnPageEvent(PageEvent event, const std::string& detail) {
    if (m_pSession == nullptr || !m_pPage) return;
    // The service operations start from here too; when one ends, the window stays open until the
    // user closes it, so the exit code is not needed.
    m_pSession->OnEvent(*m_pPage, event, detail, false);
}

void CMainPage::ShowAbout() {
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(QStringLiteral("关于 Kalvo"));
    box->setIconPixmap(KalvoIcon().pixmap(64, 64));
    box->setText(QString::fromUtf8(kTitle));
    box->setInformativeText(QStringLiteral("Kalvo Updater %1").arg(QLatin1String(KALVO_VERSION)));
    box->setStandardButtons(QMessageBox::Ok);
    box->open();
}
