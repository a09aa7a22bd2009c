#pragma once

#include <QHash>

#include "component/ResultWindow.h"
#include "component/model/SaveCommands.h"
#include "platform/db/DbDriver.h"

#include <QDialog>
#include <functional>
#include <memory>

class Anchors;
class Connection;
class FlexGrid;
class LisError;
class QDateEdit;
class QDateTimeEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QAction;
class QListWidget;
class QPushButton;
class QTextEdit;
class QTimeEdit;
enum class SampleSearchEnd;

// The design both result windows share: every control, the load step, the
// command handlers, the floating result editor with its keys, and taking
// instrument results over. Each window overrides what differs: the request
// grid's layout, the take-over, the manual-entry copy, filling and saving.
class ResultEntryForm : public QDialog, public ResultWindow {
    Q_OBJECT
public:
    ~ResultEntryForm() override;

    // ResultWindow: setting Top is the first touch and runs the load step.
    void setTop(int twips) override;
    void setLeft(double twips) override;
    void showModal() override;

    void Init_Codes();

    // Members of the window.
    QString InstrumentId;
    QString InstrumentName;
    bool ResultTakenOver = false;
    // The first argument of the last save-and-print: Verify or Print asked
    // the report viewer to offer verification.
    bool VerifyRequested = false;
    // The request's reference number, as the filling found it.
    QString RefNum;
    // The sample whose downloaded results are shown, as it was looked up
    // (on opening, picked or typed); empty when none was.
    QString LookedUpSample;

protected:
    // downloadsShare: the part of the width beyond the design that the
    // downloaded results get; the final results get the rest.
    explicit ResultEntryForm(double downloadsShare);

    // What the two windows do differently.
    virtual void layoutRequestGrid() = 0;
    // Takes the instrument's results over into the request grid, whose
    // Rows become those of the downloaded results.
    virtual void takeOverDownloaded() = 0;
    virtual void copyRequestedExams() = 0;
    // Saves the grid and, when asked, prints; run by Save, Verify and Print.
    // Virtual for tests that watch the buttons only.
    virtual void Save_And_Print(bool verify, bool print);
    // Writes the grid in one transaction; false (and the reason shown) when
    // nothing was saved.
    virtual bool Save_Entries() = 0;
    // Previews or prints the saved results of the request.
    virtual void Print_Result() = 0;
    // The column of a row's request number in the request grid.
    virtual int requestCol() const = 0;
    // What a window asks before its save; false saves nothing.
    virtual bool questionsAccepted() { return true; }
    // A save went through and printed.
    virtual void printed() {}
    virtual bool closesAfterSave(bool saved, bool /*verify*/) const { return saved; }
    // Reads the saved result header in edit and verify mode, before the
    // load step shows it.
    virtual void readSavedHeader() {}
    // Filling is over and the window is about to be shown.
    virtual void fillingEnded() {}
    // Staff changed the value of a row: what was derived from the old one goes.
    virtual void valueChanged(int row) = 0;
    // Why a value cannot stay as written; empty when it can.
    virtual QString valueRefusal(const QString& value) const;
    virtual bool isReChecked(int row) const;
    virtual void setReChecked(int row, bool on);

    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

    // The controls each window fills and saves from, named as the design
    // names them; drivers find them by the same object names.
    QLineEdit* txtAccNum;
    QPushButton* cmdSearchSampleNum;
    QPushButton* cmdResetResult;
    FlexGrid* msfgDLresult;
    FlexGrid* grdExams;
    FlexGrid* msfgRequest;
    QLineEdit* txtResult;
    QTextEdit* txtRemarks;
    QDateEdit* dtpResultDate;
    QDateEdit* dtReportDate;
    QTimeEdit* dtReportTime;
    QDateEdit* dtSubmitted;
    QTimeEdit* dtSubmittedTime;
    QDateEdit* dtLRADate;
    QTimeEdit* dtLRATime;

    using GridRows = QList<QStringList>;
    static GridRows gridRows(const FlexGrid* grid);
    // Each taken-over row replaces the request grid's row of its exam
    // (column 1); rows it does not replace stay, blank ones go.
    void mergeTakenRows(const GridRows& taken);
    // Rows on the screen stay as they are; each requested exam without a
    // row is added after them.
    void mergeRequestedRows(const GridRows& requested);
    // The sample the save posts; an error when the box no longer shows it.
    QString sampleToPost() const;
    // Says so and returns true when no row has an exam to save.
    bool nothingToSave();
    // Asks before rows without a value are saved unresulted; false (and the
    // editor on the first of them) when staff would rather fill them in.
    bool emptyRowsAccepted();

    // Runs an event handler: an error is shown with its number and
    // description, and the window with every typed value stays as it is.
    void guarded(const std::function<void()>& handler);

    // Finds the sample the instrument downloaded for the request (worklist
    // first, then the downloads) and shows its results; the first step of
    // filling either window.
    void showRequestSample();
    // Lists the request's exams in grdExams, with their normal values when asked.
    void fillRequestedExams(bool withNormalValues);
    // The values the instrument downloaded, by item code (mode '4'): the
    // last of each code, all in one read.
    QHash<QString, QString> itemValues();
    // The requested exams by item code: how many rows name it and the last
    // one's cells, trimmed; read once for a whole take-over.
    struct RequestedExam {
        int rows = 0;
        QStringList cells;
    };
    QHash<QString, RequestedExam> requestedExams() const;

    // Writes the request's logbook entry when it has none yet.
    static void ensureLogbookEntry(Connection& db, const QString& req);
    // What a save takes from the session and the header fields.
    SaveHeader saveHeader() const;
    // After a failed save: rolls back what was begun and says why.
    static void saveFailed(Connection& db, const LisError& e);
    // A picker pair as one date-time: the date, one blank, the time on the
    // 12-hour clock without seconds, read back (so seconds are always zero).
    static QDateTime pickedDateTime(const QDateEdit* date, const QTimeEdit* time);
    // Shows the session's result header in the top strip.
    void showSavedHeader();
    // After a save that stored everything: what the window holds is saved.
    void markSaved();
    void sendUnchanged(Connection& db, const QString& requestNum, const QStringList& items);
    // The sample taken over must still stand posted only where this window
    // saw it, or to the requests it saves.
    void sendSampleUnposted(Connection& db, const QString& sample, const QStringList& requests);
    // Commits the save's transaction; the window then holds the numbers the
    // save gave its own rows, read just before.
    void commitSave(Connection& db);

private:
    // The controls only this design handles.
    QLineEdit* txtSampleNum;
    QLineEdit* txtPName;
    QPushButton* cmdFlags;
    QWidget* fraBody8;
    QGroupBox* Frame1;
    QPushButton* cmdSave;
    QGroupBox* fraMedTech;
    QPushButton* cmdVerify;
    QPushButton* cmdPrint;
    QPushButton* cmdClose;
    // Says when the window last saved: the buttons only grey out.
    QLabel* lblSaved;
    // The quality-control holds of the request as the laboratory reports
    // them, above the remarks; hidden when there are none.
    QLabel* lblQcHold;
    // The review dialog and the chart of a held row: the grids' menus, and
    // Ctrl+Q / Ctrl+L anywhere in the window.
    QAction* mnuQcReview;
    QAction* mnuQcChart;
    // The frames and labels that only lay the window out.
    QGroupBox* Frame6;
    QListWidget* lstREVIEW;
    QWidget* Picture1;
    QLabel* lblFlags;
    QLabel* lbllabels33;
    QLabel* lbllabels34;
    QLabel* lbllabels35;
    QLabel* lblRemarks0;
    QGroupBox* fraAdditional;
    QGroupBox* Frame2;
    QLabel* lbllabels32;
    QLabel* lbllabels31;
    QLabel* lbllabels30;
    QGroupBox* fraAll;
    QGroupBox* fraCommonCodes;
    QLabel* Label1_0;
    QLabel* Label1_2;
    QLabel* Label1_1;

    void buildControls();
    void buildHeaderStrip();
    void buildDownloadedBlock();
    void buildResultsBlock();
    void buildButtons();
    void buildLegend();
    void buildAnchors(double downloadsShare);
    void buildTabOrder();
    void buildQcActions();
    void connectHandlers();
    void ensureLoaded();
    void load();
    // The load sizing of the request grid at start-up.
    void loadSizing();
    // The downloaded-results grid layout.
    void layoutDownloadedGrid();

    void cmdClose_Click();
    void cmdFlags_Click();
    void cmdResetResult_Click();
    void cmdSearchSampleNum_Click();
    void cmdSave_Click();
    void cmdVerify_Click();
    void cmdPrint_Click();
    bool accessionNumberGiven();
    // Refuses (with a message) a Date Submitted or LRA time after now or
    // before the request was made.
    bool headerTimesAccepted();
    bool readyToSave(bool checkAccession);
    bool txtAccNum_Validate();
    bool txtResult_KeyDown(QKeyEvent* event);
    // Down and Enter go to the next row, Up and Shift+Enter to the one before.
    bool moveEditorRow(int key, bool enter, bool shift);
    // "N" as the first key of a value is NULL; a letter after it starts a word.
    bool typeNullKey(QKeyEvent* event);
    bool msfgRequest_KeyDown(QKeyEvent* event);

    void collapseRemarks();
    void setRemarksExpanded(bool expanded);
    void placeEditor();
    // Keeps the shown editor over its cell when the grid scrolls or grows.
    void keepEditorOverCell();
    // Alt+F: into the results, at the first row without a value.
    void jumpToFinalResults();

    static void setGridRows(FlexGrid* grid, const GridRows& rows);
    // Says what will be lost and asks; true to go on.
    bool confirmRemovingRows(const QString& why);
    // Says why and returns false when the sample number shown is not the
    // one looked up.
    bool sampleLookedUp();
    // The instrument procedure's call for the sample on the screen.
    QString instrumentSampleCall(char mode, bool spacedLast) const;

    // Looks one sample up (mode '1') and, once the user agrees to a sample
    // of another patient, shows it; nothing changes otherwise.
    void lookUpSample(const QString& sample, const QString& pickedPatient);
    void showLookedUpSample(const QString& sample, const QString& patient, const ResultSet& found,
                            const QString& call);
    // Says why and returns false for a result date after today.
    bool resultDateAccepted();
    // No sample found or picked: the requested exams to type by hand, if
    // staff want them.
    void offerManualEntry(SampleSearchEnd ended);
    // The server's notices of new downloads (see downloadsChannel): results
    // of the sample shown arrive in the instrument's grid.
    void watchDownloads();
    void downloadsArrived(const QString& notice);
    QString m_watchedSample;
    QString m_sampleCall;
    bool m_watching = false;
    GridRows m_beforeTakeOver;
    GridRows m_takenOver;
    // The sample part of the window as it opened; Reset goes back to it.
    struct SampleShown {
        QString accessionNum;
        QString sample;
        QString patient;
        QString lookedUp;
        QString call;
    };
    SampleShown m_opened;
    // What the instrument's grid showed as the window opened.
    ResultSet m_openedDownloads;
    // The accession number the last lookup wrote (null: none did).
    QString m_lookupAccNum;
    // The sample shown was taken although it is another patient's or
    // posted to another request.
    bool m_foreignSample = false;
    void restoreOpenedSample();
    // Says why and returns false when staff would rather not take a sample
    // already posted to another request.
    bool postedSampleAccepted(const QString& sample, const ResultSet& found, bool& postedElsewhere);

    // Quality control (ResultEntryQc.cpp): sp_QCHolds read once per fill
    // and after the review; the rows marked from what was read.
    struct QcHold {
        QString item;
        QString mark;
        QString instrument;
    };
    QList<QcHold> m_qcHolds;
    void readQcHolds();
    void markQcHolds();
    const QcHold* qcHoldOf(const QString& item, const QString& request) const;
    const QcHold* chosenQcHold() const;
    void qcReview();
    void qcChart();

    std::unique_ptr<Anchors> m_anchors;
    bool m_remarksExpanded = false;
    bool m_loaded = false;
    bool m_placing = false;
    bool m_validating = false;
    bool m_validationRefused = false;
    bool m_typingAccNum = false;
    // What the window held when filling ended or a save last succeeded:
    // closing with anything else asks first.
    QStringList m_unchanged;
    // A save turns the action buttons off; a later change turns them on.
    bool m_offUntilChanged = false;
    // The row the editor was put over.
    int m_editRow = 0;
    // The key that made the value NULL: a word may go on from it.
    QString m_nullKey;

    QStringList heldState() const;
    void somethingChanged();
    bool valueMayBeLeft();
    bool typeIntoAccNum(QEvent* event);
    bool hasUnsavedChanges() const;

    // The change numbers of a request's saved results, as the window read
    // them; a save sends them first so the laboratory refuses it when
    // another workstation changed one of its rows since.
    void rememberChangeNumbers(const QString& requestNum);
    QHash<QString, QHash<QString, QString>> m_changeNumbers; // request -> item -> number
};
