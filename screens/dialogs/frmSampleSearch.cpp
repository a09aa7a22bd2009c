#include "frmSampleSearch.h"
#include "component/ScreenHelpers.h"
#include "component/modMain.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"
#include "platform/db/Connection.h"
#include "platform/ui/Anchors.h"
#include "platform/ui/FlexGrid.h"
#include "platform/ui/Twips.h"
#include "platform/ui/WindowMemory.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

frmSampleSearch::frmSampleSearch()
{
    setObjectName(QStringLiteral("frmSampleSearch"));
    setWindowTitle(QStringLiteral("Sample Search"));
    setModal(true);
    resize(Twips::toPx(5220), Twips::toPx(5400));
    setMinimumSize(size());
    setSizeGripEnabled(true);

    fraHeader = new QGroupBox(this);
    fraHeader->setObjectName(QStringLiteral("fraHeader"));
    Twips::place(fraHeader, 0, 0, 5220, 900);
    fraHeader->setStyleSheet(QStringLiteral("QGroupBox { background-color: #1f3b66; border: 0; }"));
    Image1 = new QLabel(fraHeader);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(style()->standardIcon(QStyle::SP_FileDialogContentsView).pixmap(32, 32));
    Twips::place(Image1, 150, 210, 540, 540);
    lblHeader0 = new QLabel(QStringLiteral("Sample Search"), fraHeader);
    lblHeader0->setObjectName(QStringLiteral("lblHeader(0)"));
    QFont title = lblHeader0->font();
    title.setPointSize(16);
    title.setBold(true);
    lblHeader0->setFont(title);
    lblHeader0->setStyleSheet(QStringLiteral("color: white;"));
    Twips::place(lblHeader0, 840, 210, 4200, 480);

    fraBody = new QGroupBox(this);
    fraBody->setObjectName(QStringLiteral("fraBody"));
    Twips::place(fraBody, 60, 960, 5100, 3720);
    msfgSampleNum = new FlexGrid(fraBody);
    msfgSampleNum->setObjectName(QStringLiteral("msfgSampleNum"));
    Twips::place(msfgSampleNum, 60, 60, 4980, 3600);

    cmdSelect = new QPushButton(QStringLiteral("Select"), this);
    cmdSelect->setObjectName(QStringLiteral("cmdSelect"));
    Twips::place(cmdSelect, 2580, 4800, 1200, 420);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    Twips::place(cmdCancel, 3900, 4800, 1200, 420);
    cmdSelect->setDefault(true);
    msfgSampleNum->setTabKeyNavigation(false);
    msfgSampleNum->setGrowColumns(true);

    m_anchors = std::make_unique<Anchors>(minimumSize());
    // Room for the request a sample is posted to.
    resize(Twips::toPx(7020), height());
    m_anchors->add(fraHeader, {0, 0, 1, 0});
    m_anchors->add(fraBody, {0, 0, 1, 1});
    m_anchors->add(msfgSampleNum, {0, 0, 1, 1});
    m_anchors->add(cmdSelect, {1, 1, 0, 0});
    m_anchors->add(cmdCancel, {1, 1, 0, 0});

    connect(cmdSelect, &QPushButton::clicked, this, [this] { cmdSelect_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { close(); });
    // A single click on a sample picks it, as a double-click does.
    connect(msfgSampleNum, &QTableWidget::cellClicked, this, [this] { cmdSelect_Click(); });
    connect(msfgSampleNum, &QTableWidget::cellActivated, this, [this] { cmdSelect_Click(); });
}

frmSampleSearch::~frmSampleSearch() = default;

void frmSampleSearch::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    if (m_anchors)
        m_anchors->apply(size());
}

void frmSampleSearch::hideEvent(QHideEvent* event)
{
    // However it closes: Select, Cancel, Escape or the close box.
    WindowMemory::remember(*this, {msfgSampleNum});
    QDialog::hideEvent(event);
}

bool frmSampleSearch::load()
{
    // Each showing draws the layered title afresh (the copies of the last
    // showing go first), so every search of a session works.
    for (int i = 1; i <= 3; ++i)
        delete findChild<QLabel*>(QStringLiteral("lblHeader(%1)").arg(i));
    ShadeDialogHeader(*this);

    auto rs = session().LabDb->openRecordset(
        CommandText::call(QStringLiteral("sp_InstrumentGetHemaSampleNum"),
                          {QStringLiteral("0"), m_resultDate, m_instrumentId, m_searchString},
                          CommandText::Join::Tight),
        CursorOptions::clientDynamic());
    if (rs->eof())
        return false;
    ResultSet found = rs->data();
    rs->close();
    // A sample already saved to a request is shown so: taking it for
    // another is asked about by the result window.
    found.columns << QStringLiteral("Posted");
    for (QVariantList& row : found.rows)
        row << postedTo(row.value(0).toString());
    msfgSampleNum->setColWidth(0, 1500);
    msfgSampleNum->setColWidth(1, 3000);
    msfgSampleNum->bind(found);
    msfgSampleNum->setColWidth(2, 1800);
    return true;
}

QString frmSampleSearch::postedTo(const QString& sample) const
{
    const QDate day = QDate::fromString(m_resultDate, QStringLiteral("MM/dd/yyyy"));
    auto rs = session().LabDb->openRecordset(
        CommandText::select(QStringLiteral("select * from laboratory..tbLabInstrumentDLHemaResult "
                                           "where InstrumentID = %1 and SampleNum = %2 and "
                                           "Posted = 'Y'"),
                            {m_instrumentId, sample}),
        CursorOptions::clientDynamic());
    QStringList requests;
    for (; !rs->eof(); rs->moveNext()) {
        const QString req = rs->textOrEmpty(QStringLiteral("PostedRequestNum")).trimmed();
        if (!req.isEmpty() && !requests.contains(req, Qt::CaseInsensitive) &&
            DateText::toDateTime(rs->value(QStringLiteral("Resultdate"))).date() == day)
            requests << req;
    }
    return requests.isEmpty() ? QString()
                              : QStringLiteral("posted to ") + requests.join(QStringLiteral(", "));
}

void frmSampleSearch::showModal()
{
    if (!load())
        throw LisError(ErrNo::ObjectUnloaded,
                       QStringLiteral("Object was unloaded: no samples were found."));
    WindowMemory::restore(*this, {msfgSampleNum});
    msfgSampleNum->setFocus();
    Presenter::current().showModal(*this);
}

void frmSampleSearch::cmdSelect_Click()
{
    const int row = msfgSampleNum->Row();
    if (row < 1)
        return;
    const QString patient =
        msfgSampleNum->Cols() > 1 ? msfgSampleNum->TextMatrix(row, 1) : QString();
    session().SelectedSampleNum = msfgSampleNum->TextMatrix(row, 0) + QStringLiteral("|") + patient;
    close();
}
