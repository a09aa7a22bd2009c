-- The laboratory database. Text keys compare without case, as on the
-- hospital's database server; procedures store them without trailing blanks.
-- Date-time columns are declared DATETIME and stored as "yyyy-MM-dd HH:mm:ss";
-- everything the server hands out shows them as general dates.

CREATE TABLE IF NOT EXISTS tbLabSection (
    SectionID TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    LabSection TEXT NOT NULL
);

-- Pathologists, readers, physicians, residents and medical technologists.
CREATE TABLE IF NOT EXISTS tbLabStaff (
    StaffID   TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    StaffName TEXT NOT NULL,
    Role      TEXT NOT NULL DEFAULT ''
);

CREATE TABLE IF NOT EXISTS tbLabSpecimen (
    SpecimenId TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    Specimen   TEXT NOT NULL
);

-- An exam as it is requested; its format decides the result window.
CREATE TABLE IF NOT EXISTS tbLabExam (
    Code          TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    ExamName      TEXT NOT NULL,
    SectionID     TEXT NOT NULL REFERENCES tbLabSection (SectionID),
    FormType      TEXT NOT NULL,
    ValueType     TEXT NOT NULL DEFAULT '',
    SpecimenId    TEXT NOT NULL DEFAULT '' COLLATE NOCASE,
    PathologistID TEXT NOT NULL DEFAULT '' COLLATE NOCASE,
    ReaderID      TEXT NOT NULL DEFAULT '' COLLATE NOCASE,
    SupExamID     TEXT NOT NULL DEFAULT '' COLLATE NOCASE
);

-- A result item of an exam, with what the database needs to interpret it:
-- a cut-off with its direction, labels and grey zone, or normal values in SI
-- units with the factor to conventional units (conventional = SI x Factor,
-- kept at full precision). The conventional limits are the laboratory's own
-- (CMin, CMax; version 3): converted SI limits are not what laboratories
-- print. An item without them has its SI limits converted.
-- Version 5 adds the checks of a result, in SI units, each optional:
-- critical limits (a result below CriticalLow or above CriticalHigh is
-- called to the ward), plausible limits (outside them a value is taken for
-- a typing slip) and the delta check against the patient's previous
-- verified result (a change over DeltaLimit, in the unit or in percent of
-- the previous value when DeltaPercent is 'Y', within DeltaDays days, 0 for
-- any age).
CREATE TABLE IF NOT EXISTS tbLabExamItem (
    ItemID          TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    ExamName        TEXT NOT NULL,
    ItemFormType    TEXT NOT NULL DEFAULT '',
    SIUnit          TEXT NOT NULL DEFAULT '',
    SIMin           REAL,
    SIMax           REAL,
    SIPrecision     INTEGER NOT NULL DEFAULT 1,
    CUnit           TEXT NOT NULL DEFAULT '',
    Factor          REAL,
    CPrecision      INTEGER NOT NULL DEFAULT 0,
    CutOff          REAL,
    ReactiveAtOrAbove INTEGER NOT NULL DEFAULT 1,
    PositiveLabel   TEXT NOT NULL DEFAULT 'POSITIVE',
    NegativeLabel   TEXT NOT NULL DEFAULT 'NEGATIVE',
    GreyZone        REAL NOT NULL DEFAULT 0,
    NormalValues    TEXT NOT NULL DEFAULT '',
    CMin            REAL,
    CMax            REAL,
    CriticalLow     REAL,
    CriticalHigh    REAL,
    PlausibleLow    REAL,
    PlausibleHigh   REAL,
    DeltaLimit      REAL,
    DeltaPercent    TEXT NOT NULL DEFAULT 'N',
    DeltaDays       INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS tbLabExamFormat (
    Code      TEXT NOT NULL COLLATE NOCASE REFERENCES tbLabExam (Code),
    ItemID    TEXT NOT NULL COLLATE NOCASE REFERENCES tbLabExamItem (ItemID),
    SortOrder INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (Code, ItemID)
);

-- A laboratory request: one exam for one patient. Requests of one order
-- share its reference number (RefNum).
-- Normal ranges of an item for one sex ('F', 'M'; '' for either) and one
-- age band on the day of the request, in days from AgeFromDays up to but not
-- including AgeToDays (Null: no upper end), in SI units, with the
-- conventional limits when the laboratory states its own. An item keeps its
-- own SIMin/SIMax for every patient no range here covers.
CREATE TABLE IF NOT EXISTS tbLabReferenceRange (
    ItemID      TEXT NOT NULL COLLATE NOCASE REFERENCES tbLabExamItem (ItemID),
    Sex         TEXT NOT NULL DEFAULT '' COLLATE NOCASE,
    AgeFromDays INTEGER NOT NULL DEFAULT 0,
    AgeToDays   INTEGER,
    SIMin       REAL,
    SIMax       REAL,
    ConvMin     REAL,
    ConvMax     REAL,
    PRIMARY KEY (ItemID, Sex, AgeFromDays)
);

-- Why a verified result was corrected: the list a correction is chosen
-- from ("Other" asks for the words). The reason goes into the audit trail.
CREATE TABLE IF NOT EXISTS tbLabAmendmentReason (
    Reason    TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    SortOrder INTEGER NOT NULL DEFAULT 0
);

INSERT INTO tbLabAmendmentReason (Reason, SortOrder) SELECT r.Reason, r.SortOrder FROM (SELECT 'Transcription error' AS Reason, 1 AS SortOrder UNION ALL SELECT 'Instrument error', 2 UNION ALL SELECT 'Specimen problem', 3 UNION ALL SELECT 'Other', 4) r WHERE NOT EXISTS (SELECT 1 FROM tbLabAmendmentReason);

CREATE TABLE IF NOT EXISTS tbLabRequest (
    RequestNum  TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    RefNum      TEXT NOT NULL COLLATE NOCASE,
    HospNum     TEXT NOT NULL COLLATE NOCASE,
    IDNum       TEXT NOT NULL DEFAULT '' COLLATE NOCASE,
    Code        TEXT NOT NULL COLLATE NOCASE REFERENCES tbLabExam (Code),
    RequestDate DATETIME NOT NULL,
    Doctor      TEXT NOT NULL DEFAULT '',
    Rush        TEXT NOT NULL DEFAULT 'N',
    OrNum       TEXT NOT NULL DEFAULT '',
    PhysicianID TEXT NOT NULL DEFAULT '' COLLATE NOCASE,
    ResidentId  TEXT NOT NULL DEFAULT '' COLLATE NOCASE
);

CREATE INDEX IF NOT EXISTS ixRequestRefNum ON tbLabRequest (RefNum);

-- A patient's earlier requests, for the delta check of every save.
CREATE INDEX IF NOT EXISTS ixRequestHospNum ON tbLabRequest (HospNum, RequestDate);

CREATE TABLE IF NOT EXISTS tbLabLogbook (
    LogbookID       INTEGER PRIMARY KEY AUTOINCREMENT,
    RequestNum      TEXT NOT NULL COLLATE NOCASE,
    Note            TEXT NOT NULL DEFAULT '',
    EmployeeCode    TEXT NOT NULL DEFAULT '',
    SampleSubmitted DATETIME,
    LRATime         DATETIME,
    AccessionNum    TEXT NOT NULL DEFAULT '',
    LoggedAt        DATETIME NOT NULL
);

CREATE INDEX IF NOT EXISTS ixLogbookRequest ON tbLabLogbook (RequestNum);

-- The result header of a request, written by every save.
CREATE TABLE IF NOT EXISTS tbLabResultHeader (
    RequestNum      TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    AccessionNum    TEXT NOT NULL DEFAULT '',
    SampleSubmitted DATETIME,
    LRATime         DATETIME,
    ResultDate      DATETIME,
    EntryMode       INTEGER NOT NULL DEFAULT 0,
    Remarks         TEXT NOT NULL DEFAULT '',
    Method          TEXT,
    EnteredBy       TEXT NOT NULL DEFAULT '',
    EnteredAt       DATETIME,
    VerifiedBy      TEXT,
    VerifiedAt      DATETIME
);

-- One result of one exam item of a request: ResultKind 'C' for a value
-- interpreted against a cut-off, 'N' for a value with normal values.
-- EnteredBy is whoever saved the row last; from version 5 the Entry
-- columns say who entered the value itself and from where (source 'I': an
-- instrument's sample taken over, 'T': typed), the Critical columns to whom
-- a critical result was called, the Delta columns who acknowledged a delta
-- flag, and CorrectedFrom the verified value a later correction replaced.
CREATE TABLE IF NOT EXISTS tbLabResult (
    RequestNum     TEXT NOT NULL COLLATE NOCASE,
    ItemID         TEXT NOT NULL COLLATE NOCASE,
    ResultKind     TEXT NOT NULL DEFAULT 'C' CHECK (ResultKind IN ('C', 'N')),
    RowNo          INTEGER NOT NULL DEFAULT 0,
    ExamName       TEXT NOT NULL DEFAULT '',
    FormType       TEXT NOT NULL DEFAULT '',
    PatientValue   TEXT,
    CutOffValue    TEXT,
    Result         TEXT,
    Remarks        TEXT,
    SIResult       TEXT,
    SINormalValues TEXT,
    SIUnit         TEXT,
    SIMin          TEXT,
    SIMax          TEXT,
    CResult        TEXT,
    CNormalValues  TEXT,
    CUnit          TEXT,
    CMin           TEXT,
    CMax           TEXT,
    Factor         TEXT,
    Verified       TEXT NOT NULL DEFAULT 'N',
    EnteredBy      TEXT NOT NULL DEFAULT '',
    EnteredAt      DATETIME,
    VerifiedBy     TEXT,
    VerifiedAt     DATETIME,
    EntryBy          TEXT,
    EntryAt          DATETIME,
    EntrySource      TEXT,
    EntryInstrument  TEXT,
    EntrySample      TEXT,
    EntryWorkstation TEXT,
    CriticalCalledTo TEXT,
    CriticalCalledAt DATETIME,
    CriticalCalledBy TEXT,
    DeltaAcknowledgedBy TEXT,
    DeltaAcknowledgedAt DATETIME,
    CorrectedFrom    TEXT,
    PRIMARY KEY (RequestNum, ItemID)
);

CREATE TABLE IF NOT EXISTS tbLabResultSummary (
    SummaryID  INTEGER PRIMARY KEY AUTOINCREMENT,
    RequestNum TEXT NOT NULL COLLATE NOCASE,
    Summary    TEXT NOT NULL
);

CREATE INDEX IF NOT EXISTS ixSummaryRequest ON tbLabResultSummary (RequestNum);

CREATE TABLE IF NOT EXISTS tbLabInstrument (
    InstrumentID   TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    InstrumentName TEXT NOT NULL
);

-- Maps an instrument's own assay code to the exam item it measures.
CREATE TABLE IF NOT EXISTS tbLabInstrumentExams (
    InstrumentID    TEXT NOT NULL COLLATE NOCASE,
    InstrumentItem  TEXT NOT NULL COLLATE NOCASE,
    ItemID          TEXT NOT NULL COLLATE NOCASE,
    ShowResultValue TEXT,
    CutOff          REAL,
    PRIMARY KEY (InstrumentID, InstrumentItem)
);

CREATE INDEX IF NOT EXISTS ixInstrumentExamsItem ON tbLabInstrumentExams (ItemID);

-- What an instrument downloaded: one row per sample, result date and item.
CREATE TABLE IF NOT EXISTS tbLabInstrumentDLHemaResult (
    DLResultID       INTEGER PRIMARY KEY AUTOINCREMENT,
    InstrumentID     TEXT NOT NULL COLLATE NOCASE,
    SampleNum        TEXT NOT NULL COLLATE NOCASE,
    Resultdate       DATETIME NOT NULL,
    InstrumentItem   TEXT NOT NULL COLLATE NOCASE,
    ResultValue      TEXT,
    Unit             TEXT,
    Flags            TEXT,
    PatientName      TEXT NOT NULL DEFAULT '',
    refnum           TEXT NOT NULL DEFAULT '' COLLATE NOCASE,
    SampleRemarks    TEXT NOT NULL DEFAULT '',
    Posted           TEXT NOT NULL DEFAULT 'N',
    PostedRequestNum TEXT COLLATE NOCASE,
    PostedBy         TEXT,
    PostedAt         DATETIME,
    ResultStatus     TEXT NOT NULL DEFAULT '',
    Corrects         INTEGER
);

-- A sample's rows in the order of their result dates (the windows ask for
-- them once per row they take over); replaces the first version's index on
-- instrument and sample alone.
DROP INDEX IF EXISTS main.ixDLResultSample;
CREATE INDEX IF NOT EXISTS ixDLResultSampleDay ON tbLabInstrumentDLHemaResult (InstrumentID, SampleNum, Resultdate);
CREATE INDEX IF NOT EXISTS ixDLResultRefNum ON tbLabInstrumentDLHemaResult (refnum);

-- An instrument's samples of a day, for the sample search. Keyed by the day,
-- not the time, so each new result lands at the end of its day: analysers
-- that send the same times again (or none of their own) would otherwise
-- spread every message over a page per time. Replaces version 8's index on
-- the time.
DROP INDEX IF EXISTS main.ixDLResultDay;
CREATE INDEX IF NOT EXISTS ixDLResultOfDay ON tbLabInstrumentDLHemaResult (InstrumentID, substr(Resultdate, 1, 10));

-- The instrument's worklist: which sample carries which order.
CREATE TABLE IF NOT EXISTS tbLabInstrumentHemaWorkList (
    WorkListID        INTEGER PRIMARY KEY AUTOINCREMENT,
    InstrumentID      TEXT NOT NULL COLLATE NOCASE,
    refnum            TEXT NOT NULL COLLATE NOCASE,
    SampleNumber      TEXT NOT NULL COLLATE NOCASE,
    orderdate         DATETIME NOT NULL,
    RequestedExamCode TEXT NOT NULL DEFAULT '' COLLATE NOCASE,
    RequestNum        TEXT NOT NULL DEFAULT '' COLLATE NOCASE
);

CREATE INDEX IF NOT EXISTS ixWorkListRefNum ON tbLabInstrumentHemaWorkList (refnum);

-- Every message an analyser delivered, as received (framing removed), with
-- what became of it: the support record of the downloads above.
CREATE TABLE IF NOT EXISTS tbLabInstrumentMessage (
    MessageID    INTEGER PRIMARY KEY AUTOINCREMENT,
    InstrumentID TEXT NOT NULL COLLATE NOCASE,
    Protocol     TEXT NOT NULL,
    ControlID    TEXT NOT NULL DEFAULT '',
    ReceivedAt   DATETIME NOT NULL,
    Results      INTEGER NOT NULL DEFAULT 0,
    Duplicates   INTEGER NOT NULL DEFAULT 0,
    Held         INTEGER NOT NULL DEFAULT 0,
    Message      TEXT NOT NULL,
    Sender       TEXT NOT NULL DEFAULT '',
    Verdict      TEXT NOT NULL DEFAULT ''
);

-- Each result an instrument delivered, by its status and its result time
-- (or a digest of value, unit and flags when it came without one): a resend
-- is known even after a later status changed the row it made.
CREATE TABLE IF NOT EXISTS tbLabInstrumentResultKey (
    InstrumentID   TEXT NOT NULL COLLATE NOCASE,
    SampleNum      TEXT NOT NULL COLLATE NOCASE,
    InstrumentItem TEXT NOT NULL COLLATE NOCASE,
    ResultStatus   TEXT NOT NULL,
    ResultKey      TEXT NOT NULL,
    PRIMARY KEY (InstrumentID, SampleNum, InstrumentItem, ResultStatus, ResultKey)
) WITHOUT ROWID;

-- Results stored before statuses and keys are known by their result time.
INSERT INTO tbLabInstrumentResultKey (InstrumentID, SampleNum, InstrumentItem, ResultStatus, ResultKey)
SELECT d.InstrumentID, d.SampleNum, d.InstrumentItem, 'F', 't:' || d.Resultdate
FROM tbLabInstrumentDLHemaResult d
WHERE d.ResultStatus = ''
ON CONFLICT DO NOTHING;

CREATE INDEX IF NOT EXISTS ixWorkListSample ON tbLabInstrumentHemaWorkList (InstrumentID, SampleNumber);

-- Every change to a saved result and to a laboratory option, with its old
-- and new value, who, from which workstation and when, written by the
-- triggers below whatever made the change. Note says what made it when that
-- was not one of the laboratory's own procedures. Rows are only ever added;
-- Hash chains each row to the one before (set once, at commit), so a row
-- changed or removed later shows.
CREATE TABLE IF NOT EXISTS tbLabResultAudit (
    AuditID     INTEGER PRIMARY KEY AUTOINCREMENT,
    RequestNum  TEXT NOT NULL COLLATE NOCASE,
    ItemID      TEXT NOT NULL COLLATE NOCASE,
    Field       TEXT NOT NULL,
    OldValue    TEXT NOT NULL DEFAULT '',
    NewValue    TEXT NOT NULL DEFAULT '',
    ChangedBy   TEXT NOT NULL DEFAULT '',
    Workstation TEXT NOT NULL DEFAULT '',
    ChangedAt   DATETIME NOT NULL,
    Note        TEXT NOT NULL DEFAULT '',
    Hash        TEXT,
    SealNo      INTEGER
);

CREATE INDEX IF NOT EXISTS ixAuditRequest ON tbLabResultAudit (RequestNum, ItemID);

-- The order rows were sealed in, which the chain follows.
CREATE INDEX IF NOT EXISTS ixAuditSealNo ON tbLabResultAudit (SealNo);

CREATE INDEX IF NOT EXISTS ixAuditUnsealed ON tbLabResultAudit (AuditID) WHERE Hash IS NULL;

DROP TRIGGER IF EXISTS main.trAuditNoUpdate;

CREATE TRIGGER IF NOT EXISTS trAuditNoChange BEFORE UPDATE ON tbLabResultAudit WHEN OLD.Hash IS NOT NULL OR NEW.Hash IS NULL OR NEW.AuditID IS NOT OLD.AuditID OR NEW.RequestNum IS NOT OLD.RequestNum OR NEW.ItemID IS NOT OLD.ItemID OR NEW.Field IS NOT OLD.Field OR NEW.OldValue IS NOT OLD.OldValue OR NEW.NewValue IS NOT OLD.NewValue OR NEW.ChangedBy IS NOT OLD.ChangedBy OR NEW.Workstation IS NOT OLD.Workstation OR NEW.ChangedAt IS NOT OLD.ChangedAt OR NEW.Note IS NOT OLD.Note BEGIN SELECT RAISE(ABORT, 'The audit trail of results is never changed.'); END;

CREATE TRIGGER IF NOT EXISTS trAuditNoDelete BEFORE DELETE ON tbLabResultAudit BEGIN SELECT RAISE(ABORT, 'The audit trail of results is never changed.'); END;

-- Who the writing transaction works for: set by the procedures, read by the
-- audit triggers, emptied before each commit. Without a row a change was
-- made outside the procedures.
CREATE TABLE IF NOT EXISTS tbLabAuditContext (
    Slot        INTEGER NOT NULL PRIMARY KEY,
    Employee    TEXT NOT NULL DEFAULT '',
    Workstation TEXT NOT NULL DEFAULT '',
    ChangedAt   DATETIME NOT NULL,
    Note        TEXT NOT NULL DEFAULT ''
);

CREATE TRIGGER IF NOT EXISTS trResultAuditInsert AFTER INSERT ON tbLabResult BEGIN INSERT INTO tbLabResultAudit (RequestNum, ItemID, Field, OldValue, NewValue, ChangedBy, Workstation, ChangedAt, Note)
 SELECT NEW.RequestNum, NEW.ItemID, f.Field, f.Before, coalesce(f.After, ''), coalesce(c.Employee, ''), coalesce(c.Workstation, ''), coalesce(c.ChangedAt, datetime('now', 'localtime')), coalesce(c.Note, 'made outside the laboratory''s procedures')
 FROM (SELECT 1 AS n, 'Result' AS Field, '' AS Before, CASE NEW.ResultKind WHEN 'N' THEN NEW.SIResult ELSE NEW.PatientValue END AS After
 UNION ALL SELECT 2, 'Interpretation', '', NEW.Result
 UNION ALL SELECT 3, 'Conventional result', '', NEW.CResult
 UNION ALL SELECT 4, 'Remarks', '', NEW.Remarks
 UNION ALL SELECT 5, 'Entered by', '', NEW.EntryBy || CASE NEW.EntrySource WHEN 'I' THEN ' (instrument ' || coalesce(NEW.EntryInstrument, '') || ', sample ' || coalesce(NEW.EntrySample, '') || ')' WHEN 'T' THEN ' (typed)' ELSE '' END
 UNION ALL SELECT 6, 'Critical call', '', NEW.CriticalCalledTo || ' at ' || NEW.CriticalCalledAt
 UNION ALL SELECT 7, 'Delta acknowledged', '', NEW.DeltaAcknowledgedBy
 UNION ALL SELECT 8, 'Verified', 'N', NEW.Verified
 UNION ALL SELECT 9, 'Verified by', '', NEW.VerifiedBy) f
 LEFT JOIN tbLabAuditContext c ON c.Slot = 1
 WHERE f.Before <> coalesce(f.After, '') ORDER BY f.n; END;

CREATE TRIGGER IF NOT EXISTS trResultAuditUpdate AFTER UPDATE ON tbLabResult BEGIN INSERT INTO tbLabResultAudit (RequestNum, ItemID, Field, OldValue, NewValue, ChangedBy, Workstation, ChangedAt, Note)
 SELECT NEW.RequestNum, NEW.ItemID, f.Field, coalesce(f.Before, ''), coalesce(f.After, ''), coalesce(c.Employee, ''), coalesce(c.Workstation, ''), coalesce(c.ChangedAt, datetime('now', 'localtime')), coalesce(c.Note, 'made outside the laboratory''s procedures')
 FROM (SELECT 1 AS n, 'Result' AS Field, CASE OLD.ResultKind WHEN 'N' THEN OLD.SIResult ELSE OLD.PatientValue END AS Before, CASE NEW.ResultKind WHEN 'N' THEN NEW.SIResult ELSE NEW.PatientValue END AS After
 UNION ALL SELECT 2, 'Interpretation', OLD.Result, NEW.Result
 UNION ALL SELECT 3, 'Conventional result', OLD.CResult, NEW.CResult
 UNION ALL SELECT 4, 'Remarks', OLD.Remarks, NEW.Remarks
 UNION ALL SELECT 5, 'Entered by', OLD.EntryBy || CASE OLD.EntrySource WHEN 'I' THEN ' (instrument ' || coalesce(OLD.EntryInstrument, '') || ', sample ' || coalesce(OLD.EntrySample, '') || ')' WHEN 'T' THEN ' (typed)' ELSE '' END, NEW.EntryBy || CASE NEW.EntrySource WHEN 'I' THEN ' (instrument ' || coalesce(NEW.EntryInstrument, '') || ', sample ' || coalesce(NEW.EntrySample, '') || ')' WHEN 'T' THEN ' (typed)' ELSE '' END
 UNION ALL SELECT 6, 'Critical call', OLD.CriticalCalledTo || ' at ' || OLD.CriticalCalledAt, NEW.CriticalCalledTo || ' at ' || NEW.CriticalCalledAt
 UNION ALL SELECT 7, 'Delta acknowledged', OLD.DeltaAcknowledgedBy, NEW.DeltaAcknowledgedBy
 UNION ALL SELECT 8, 'Verified', OLD.Verified, NEW.Verified
 UNION ALL SELECT 9, 'Verified by', OLD.VerifiedBy, NEW.VerifiedBy) f
 LEFT JOIN tbLabAuditContext c ON c.Slot = 1
 WHERE coalesce(f.Before, '') <> coalesce(f.After, '') ORDER BY f.n; END;

CREATE TRIGGER IF NOT EXISTS trResultAuditDelete AFTER DELETE ON tbLabResult BEGIN INSERT INTO tbLabResultAudit (RequestNum, ItemID, Field, OldValue, NewValue, ChangedBy, Workstation, ChangedAt, Note)
 SELECT OLD.RequestNum, OLD.ItemID, 'Deleted', CASE OLD.ResultKind WHEN 'N' THEN coalesce(OLD.SIResult, '') ELSE coalesce(OLD.PatientValue, '') END, '', coalesce(c.Employee, ''), coalesce(c.Workstation, ''), coalesce(c.ChangedAt, datetime('now', 'localtime')), coalesce(c.Note, 'made outside the laboratory''s procedures')
 FROM (SELECT 1) LEFT JOIN tbLabAuditContext c ON c.Slot = 1; END;

-- Laboratory-wide options, set by the administrator (lis-host option):
-- SeparateVerifier 'Y' refuses verification by whoever entered a result.
CREATE TABLE IF NOT EXISTS tbLabOption (
    Name  TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    Value TEXT NOT NULL
);

CREATE TRIGGER IF NOT EXISTS trOptionAuditInsert AFTER INSERT ON tbLabOption BEGIN INSERT INTO tbLabResultAudit (RequestNum, ItemID, Field, OldValue, NewValue, ChangedBy, Workstation, ChangedAt, Note)
 SELECT '', '', 'Option ' || NEW.Name, '', NEW.Value, coalesce(c.Employee, ''), coalesce(c.Workstation, ''), coalesce(c.ChangedAt, datetime('now', 'localtime')), coalesce(c.Note, 'made outside the laboratory''s procedures')
 FROM (SELECT 1) LEFT JOIN tbLabAuditContext c ON c.Slot = 1; END;

CREATE TRIGGER IF NOT EXISTS trOptionAuditUpdate AFTER UPDATE ON tbLabOption WHEN OLD.Value IS NOT NEW.Value BEGIN INSERT INTO tbLabResultAudit (RequestNum, ItemID, Field, OldValue, NewValue, ChangedBy, Workstation, ChangedAt, Note)
 SELECT '', '', 'Option ' || NEW.Name, OLD.Value, NEW.Value, coalesce(c.Employee, ''), coalesce(c.Workstation, ''), coalesce(c.ChangedAt, datetime('now', 'localtime')), coalesce(c.Note, 'made outside the laboratory''s procedures')
 FROM (SELECT 1) LEFT JOIN tbLabAuditContext c ON c.Slot = 1; END;

CREATE TRIGGER IF NOT EXISTS trOptionAuditDelete AFTER DELETE ON tbLabOption BEGIN INSERT INTO tbLabResultAudit (RequestNum, ItemID, Field, OldValue, NewValue, ChangedBy, Workstation, ChangedAt, Note)
 SELECT '', '', 'Option ' || OLD.Name, OLD.Value, '', coalesce(c.Employee, ''), coalesce(c.Workstation, ''), coalesce(c.ChangedAt, datetime('now', 'localtime')), coalesce(c.Note, 'made outside the laboratory''s procedures')
 FROM (SELECT 1) LEFT JOIN tbLabAuditContext c ON c.Slot = 1; END;

-- Version 8: quality control. A control lot of one instrument and item at
-- one level, its targets from the manufacturer's sheet ('sheet') or, while
-- Established is 'runs', fixed from its first 20 results (Null until then).
-- Values and targets are decimal texts, compared in decimal.
CREATE TABLE IF NOT EXISTS tbLabQCLot (
    LotID        INTEGER PRIMARY KEY AUTOINCREMENT,
    InstrumentID TEXT NOT NULL COLLATE NOCASE,
    ItemID       TEXT NOT NULL COLLATE NOCASE,
    Material     TEXT NOT NULL,
    Level        INTEGER NOT NULL CHECK (Level IN (1, 2, 3)),
    LotNo        TEXT NOT NULL COLLATE NOCASE,
    Expiry       DATETIME NOT NULL,
    TargetMean   TEXT,
    TargetSD     TEXT,
    Unit         TEXT NOT NULL DEFAULT '',
    Established  TEXT NOT NULL DEFAULT 'sheet' CHECK (Established IN ('sheet', 'runs')),
    Retired      TEXT NOT NULL DEFAULT 'N',
    UNIQUE (InstrumentID, ItemID, LotNo)
);

-- The sample ids an analyser sends a lot's controls under (QC-GLU-1); one
-- sample of a multi-analyte control carries the lots of several items.
CREATE TABLE IF NOT EXISTS tbLabQCSampleID (
    InstrumentID TEXT NOT NULL COLLATE NOCASE,
    SampleID     TEXT NOT NULL COLLATE NOCASE,
    LotID        INTEGER NOT NULL REFERENCES tbLabQCLot (LotID),
    PRIMARY KEY (InstrumentID, SampleID, LotID)
);

-- Each control result as judged on arrival. RunAt is the start of its run
-- (the controls of one instrument and item measured within 30 minutes of
-- the first); Source 'I' from an analyser's message (MessageID), 'M' typed.
CREATE TABLE IF NOT EXISTS tbLabQCResult (
    QCResultID INTEGER PRIMARY KEY AUTOINCREMENT,
    LotID      INTEGER NOT NULL REFERENCES tbLabQCLot (LotID),
    MeasuredAt DATETIME NOT NULL,
    RunAt      DATETIME NOT NULL,
    Value      TEXT NOT NULL,
    ZScore     REAL,
    Rules      TEXT NOT NULL DEFAULT '',
    Verdict    TEXT NOT NULL CHECK (Verdict IN ('accepted', 'warning', 'rejected')),
    Source     TEXT NOT NULL DEFAULT 'M' CHECK (Source IN ('I', 'M')),
    MessageID  INTEGER,
    SampleID   TEXT NOT NULL DEFAULT '',
    EnteredBy  TEXT NOT NULL DEFAULT '',
    EnteredAt  DATETIME NOT NULL
);

CREATE INDEX IF NOT EXISTS ixQCResultLot ON tbLabQCResult (LotID, MeasuredAt);

-- The rules that reject a run of an item (the others only warn); an item
-- without a row rejects on 1-3s, 2-2s, R-4s, 4-1s and 10-x.
CREATE TABLE IF NOT EXISTS tbLabQCRules (
    ItemID    TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    Rejecting TEXT NOT NULL
);

-- A rejected run of an instrument and item and the hold it puts on the
-- patient results measured from RejectedAt until the next accepted run
-- (AcceptedAt); released once that run and a corrective action are there.
CREATE TABLE IF NOT EXISTS tbLabQCHold (
    HoldID       INTEGER PRIMARY KEY AUTOINCREMENT,
    InstrumentID TEXT NOT NULL COLLATE NOCASE,
    ItemID       TEXT NOT NULL COLLATE NOCASE,
    RejectedAt   DATETIME NOT NULL,
    Rules        TEXT NOT NULL,
    Level        INTEGER NOT NULL,
    AcceptedAt   DATETIME,
    ReleasedBy   TEXT,
    ReleasedAt   DATETIME
);

CREATE INDEX IF NOT EXISTS ixQCHoldItem ON tbLabQCHold (InstrumentID, ItemID, RejectedAt);

CREATE TABLE IF NOT EXISTS tbLabQCAction (
    ActionID     INTEGER PRIMARY KEY AUTOINCREMENT,
    InstrumentID TEXT NOT NULL COLLATE NOCASE,
    ItemID       TEXT NOT NULL COLLATE NOCASE,
    HoldID       INTEGER REFERENCES tbLabQCHold (HoldID),
    Action       TEXT NOT NULL,
    RecordedBy   TEXT NOT NULL,
    RecordedAt   DATETIME NOT NULL
);

-- A patient result of a failed interval, reviewed and confirmed by a
-- technologist before it may be verified.
CREATE TABLE IF NOT EXISTS tbLabQCReview (
    HoldID      INTEGER NOT NULL REFERENCES tbLabQCHold (HoldID),
    RequestNum  TEXT NOT NULL COLLATE NOCASE,
    ItemID      TEXT NOT NULL COLLATE NOCASE,
    ConfirmedBy TEXT NOT NULL,
    ConfirmedAt DATETIME NOT NULL,
    PRIMARY KEY (HoldID, RequestNum, ItemID)
);
