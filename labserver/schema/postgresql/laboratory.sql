-- The laboratory database on a PostgreSQL server: schema laboratory of the
-- laboratory's database; patient_data.sql adds schema patient_data beside it
-- and runs after this file. Every statement may run again on a laboratory
-- that has it already.
--
-- Text keys compare without case, as on the hospital's database server:
-- those columns use the collation laboratory.nocase (ICU, secondary
-- strength, so 'L-1001' = 'l-1001'; trailing blanks still count, so values
-- are stored and looked up without them). PostgreSQL 15 refuses LIKE and
-- ILIKE on a nondeterministic collation: pattern matching must lower() both
-- sides under a deterministic collation, as in
--     lower(RequestNum COLLATE "C") LIKE lower($1)
-- Date-time columns are timestamp without time zone (seconds are what the
-- laboratory stores); numeric result texts stay text, so 12.50 stays 12.50.
-- Names are unquoted, so the server keeps them in lower case, except "CMin"
-- and "CMax": cmin and cmax are the server's own row columns, so these two
-- are created quoted and must be written quoted ("CMin") in every statement.
-- Unquoted, CMin reads the server's column without an error.

CREATE SCHEMA IF NOT EXISTS laboratory;

CREATE COLLATION IF NOT EXISTS laboratory.nocase (provider = icu, locale = 'und-u-ks-level2', deterministic = false);

-- One row: the version of this schema, which the store compares with its
-- own and raises after an upgrade. A laboratory made by this file is at 9.
CREATE TABLE IF NOT EXISTS laboratory.tbSchemaVersion (
    Version integer NOT NULL
);

CREATE UNIQUE INDEX IF NOT EXISTS ixSchemaVersionOneRow ON laboratory.tbSchemaVersion ((true));

INSERT INTO laboratory.tbSchemaVersion (Version)
    SELECT 9 WHERE NOT EXISTS (SELECT 1 FROM laboratory.tbSchemaVersion);

CREATE TABLE IF NOT EXISTS laboratory.tbLabSection (
    SectionID text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    LabSection text NOT NULL
);

-- Pathologists, readers, physicians, residents and medical technologists.
CREATE TABLE IF NOT EXISTS laboratory.tbLabStaff (
    StaffID   text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    StaffName text NOT NULL,
    Role      text NOT NULL DEFAULT ''
);

CREATE TABLE IF NOT EXISTS laboratory.tbLabSpecimen (
    SpecimenId text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    Specimen   text NOT NULL
);

-- An exam as it is requested; its format decides the result window.
CREATE TABLE IF NOT EXISTS laboratory.tbLabExam (
    Code          text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    ExamName      text NOT NULL,
    SectionID     text NOT NULL REFERENCES laboratory.tbLabSection (SectionID),
    FormType      text NOT NULL,
    ValueType     text NOT NULL DEFAULT '',
    SpecimenId    text COLLATE laboratory.nocase NOT NULL DEFAULT '',
    PathologistID text COLLATE laboratory.nocase NOT NULL DEFAULT '',
    ReaderID      text COLLATE laboratory.nocase NOT NULL DEFAULT '',
    SupExamID     text COLLATE laboratory.nocase NOT NULL DEFAULT ''
);

-- A result item of an exam, with what the database needs to interpret it:
-- a cut-off with its direction, labels and grey zone, or normal values in SI
-- units with the factor to conventional units (conventional = SI x Factor,
-- kept at full precision). The conventional limits are the laboratory's own
-- (CMin, CMax): converted SI limits are not what laboratories print. An item
-- without them has its SI limits converted.
CREATE TABLE IF NOT EXISTS laboratory.tbLabExamItem (
    ItemID          text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    ExamName        text NOT NULL,
    ItemFormType    text NOT NULL DEFAULT '',
    SIUnit          text NOT NULL DEFAULT '',
    SIMin           double precision,
    SIMax           double precision,
    SIPrecision     integer NOT NULL DEFAULT 1,
    CUnit           text NOT NULL DEFAULT '',
    Factor          double precision,
    CPrecision      integer NOT NULL DEFAULT 0,
    CutOff          double precision,
    ReactiveAtOrAbove integer NOT NULL DEFAULT 1,
    PositiveLabel   text NOT NULL DEFAULT 'POSITIVE',
    NegativeLabel   text NOT NULL DEFAULT 'NEGATIVE',
    GreyZone        double precision NOT NULL DEFAULT 0,
    NormalValues    text NOT NULL DEFAULT '',
    "CMin"          double precision,
    "CMax"          double precision,
    CriticalLow     double precision,
    CriticalHigh    double precision,
    PlausibleLow    double precision,
    PlausibleHigh   double precision,
    DeltaLimit      double precision,
    DeltaPercent    text NOT NULL DEFAULT 'N',
    DeltaDays       integer NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS laboratory.tbLabExamFormat (
    Code      text COLLATE laboratory.nocase NOT NULL REFERENCES laboratory.tbLabExam (Code),
    ItemID    text COLLATE laboratory.nocase NOT NULL REFERENCES laboratory.tbLabExamItem (ItemID),
    SortOrder integer NOT NULL DEFAULT 0,
    PRIMARY KEY (Code, ItemID)
);

-- A laboratory request: one exam for one patient. Requests of one order
-- share its reference number (RefNum).
-- Normal ranges of an item for one sex ('F', 'M'; '' for either) and one
-- age band on the day of the request, in days from AgeFromDays up to but not
-- including AgeToDays (Null: no upper end), in SI units, with the
-- conventional limits when the laboratory states its own. An item keeps its
-- own SIMin/SIMax for every patient no range here covers.
CREATE TABLE IF NOT EXISTS laboratory.tbLabReferenceRange (
    ItemID      text COLLATE laboratory.nocase NOT NULL REFERENCES laboratory.tbLabExamItem (ItemID),
    Sex         text COLLATE laboratory.nocase NOT NULL DEFAULT '',
    AgeFromDays integer NOT NULL DEFAULT 0,
    AgeToDays   integer,
    SIMin       double precision,
    SIMax       double precision,
    ConvMin     double precision,
    ConvMax     double precision,
    PRIMARY KEY (ItemID, Sex, AgeFromDays)
);

-- Why a verified result was corrected: the list a correction is chosen
-- from ("Other" asks for the words). The reason goes into the audit trail.
CREATE TABLE IF NOT EXISTS laboratory.tbLabAmendmentReason (
    Reason    text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    SortOrder integer NOT NULL DEFAULT 0
);

INSERT INTO laboratory.tbLabAmendmentReason (Reason, SortOrder) SELECT r.Reason, r.SortOrder FROM (SELECT 'Transcription error' AS Reason, 1 AS SortOrder UNION ALL SELECT 'Instrument error', 2 UNION ALL SELECT 'Specimen problem', 3 UNION ALL SELECT 'Other', 4) r WHERE NOT EXISTS (SELECT 1 FROM laboratory.tbLabAmendmentReason);

CREATE TABLE IF NOT EXISTS laboratory.tbLabRequest (
    RequestNum  text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    RefNum      text COLLATE laboratory.nocase NOT NULL,
    HospNum     text COLLATE laboratory.nocase NOT NULL,
    IDNum       text COLLATE laboratory.nocase NOT NULL DEFAULT '',
    Code        text COLLATE laboratory.nocase NOT NULL REFERENCES laboratory.tbLabExam (Code),
    RequestDate timestamp without time zone NOT NULL,
    Doctor      text NOT NULL DEFAULT '',
    Rush        text NOT NULL DEFAULT 'N',
    OrNum       text NOT NULL DEFAULT '',
    PhysicianID text COLLATE laboratory.nocase NOT NULL DEFAULT '',
    ResidentId  text COLLATE laboratory.nocase NOT NULL DEFAULT ''
);

CREATE INDEX IF NOT EXISTS ixRequestRefNum ON laboratory.tbLabRequest (RefNum);

-- A patient's earlier requests, for the delta check of every save.
CREATE INDEX IF NOT EXISTS ixRequestHospNum ON laboratory.tbLabRequest (HospNum, RequestDate);

CREATE TABLE IF NOT EXISTS laboratory.tbLabLogbook (
    LogbookID       integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    RequestNum      text COLLATE laboratory.nocase NOT NULL,
    Note            text NOT NULL DEFAULT '',
    EmployeeCode    text NOT NULL DEFAULT '',
    SampleSubmitted timestamp without time zone,
    LRATime         timestamp without time zone,
    AccessionNum    text NOT NULL DEFAULT '',
    LoggedAt        timestamp without time zone NOT NULL
);

CREATE INDEX IF NOT EXISTS ixLogbookRequest ON laboratory.tbLabLogbook (RequestNum);

-- The result header of a request, written by every save.
CREATE TABLE IF NOT EXISTS laboratory.tbLabResultHeader (
    RequestNum      text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    AccessionNum    text NOT NULL DEFAULT '',
    SampleSubmitted timestamp without time zone,
    LRATime         timestamp without time zone,
    ResultDate      timestamp without time zone,
    EntryMode       integer NOT NULL DEFAULT 0,
    Remarks         text NOT NULL DEFAULT '',
    Method          text,
    EnteredBy       text NOT NULL DEFAULT '',
    EnteredAt       timestamp without time zone,
    VerifiedBy      text,
    VerifiedAt      timestamp without time zone
);

-- One result of one exam item of a request: ResultKind 'C' for a value
-- interpreted against a cut-off, 'N' for a value with normal values.
CREATE TABLE IF NOT EXISTS laboratory.tbLabResult (
    RequestNum     text COLLATE laboratory.nocase NOT NULL,
    ItemID         text COLLATE laboratory.nocase NOT NULL,
    ResultKind     text NOT NULL DEFAULT 'C' CHECK (ResultKind IN ('C', 'N')),
    RowNo          integer NOT NULL DEFAULT 0,
    ExamName       text NOT NULL DEFAULT '',
    FormType       text NOT NULL DEFAULT '',
    PatientValue   text,
    CutOffValue    text,
    Result         text,
    Remarks        text,
    SIResult       text,
    SINormalValues text,
    SIUnit         text,
    SIMin          text,
    SIMax          text,
    CResult        text,
    CNormalValues  text,
    CUnit          text,
    "CMin"         text,
    "CMax"         text,
    Factor         text,
    Verified       text NOT NULL DEFAULT 'N',
    EnteredBy      text NOT NULL DEFAULT '',
    EnteredAt      timestamp without time zone,
    VerifiedBy     text,
    VerifiedAt     timestamp without time zone,
    EntryBy          text,
    EntryAt          timestamp without time zone,
    EntrySource      text,
    EntryInstrument  text,
    EntrySample      text,
    EntryWorkstation text,
    CriticalCalledTo text,
    CriticalCalledAt timestamp without time zone,
    CriticalCalledBy text,
    DeltaAcknowledgedBy text,
    DeltaAcknowledgedAt timestamp without time zone,
    CorrectedFrom    text,
    PRIMARY KEY (RequestNum, ItemID)
);

CREATE TABLE IF NOT EXISTS laboratory.tbLabResultSummary (
    SummaryID  integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    RequestNum text COLLATE laboratory.nocase NOT NULL,
    Summary    text NOT NULL
);

CREATE INDEX IF NOT EXISTS ixSummaryRequest ON laboratory.tbLabResultSummary (RequestNum);

CREATE TABLE IF NOT EXISTS laboratory.tbLabInstrument (
    InstrumentID   text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    InstrumentName text NOT NULL
);

-- Maps an instrument's own assay code to the exam item it measures.
CREATE TABLE IF NOT EXISTS laboratory.tbLabInstrumentExams (
    InstrumentID    text COLLATE laboratory.nocase NOT NULL,
    InstrumentItem  text COLLATE laboratory.nocase NOT NULL,
    ItemID          text COLLATE laboratory.nocase NOT NULL,
    ShowResultValue text,
    CutOff          double precision,
    PRIMARY KEY (InstrumentID, InstrumentItem)
);

CREATE INDEX IF NOT EXISTS ixInstrumentExamsItem ON laboratory.tbLabInstrumentExams (ItemID);

-- What an instrument downloaded: one row per sample, result date and item.
CREATE TABLE IF NOT EXISTS laboratory.tbLabInstrumentDLHemaResult (
    DLResultID       integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    InstrumentID     text COLLATE laboratory.nocase NOT NULL,
    SampleNum        text COLLATE laboratory.nocase NOT NULL,
    Resultdate       timestamp without time zone NOT NULL,
    InstrumentItem   text COLLATE laboratory.nocase NOT NULL,
    ResultValue      text,
    Unit             text,
    Flags            text,
    PatientName      text NOT NULL DEFAULT '',
    refnum           text COLLATE laboratory.nocase NOT NULL DEFAULT '',
    SampleRemarks    text NOT NULL DEFAULT '',
    Posted           text NOT NULL DEFAULT 'N',
    PostedRequestNum text COLLATE laboratory.nocase,
    PostedBy         text,
    PostedAt         timestamp without time zone,
    ResultStatus     text NOT NULL DEFAULT '',
    Corrects         integer
);

-- A sample's rows in the order of their result dates (the windows ask for
-- them once per row they take over).
CREATE INDEX IF NOT EXISTS ixDLResultSampleDay ON laboratory.tbLabInstrumentDLHemaResult (InstrumentID, SampleNum, Resultdate);
CREATE INDEX IF NOT EXISTS ixDLResultRefNum ON laboratory.tbLabInstrumentDLHemaResult (refnum);

-- An instrument's samples of a day, for the sample search, keyed by the day
-- so each new result lands at the end of its day (see the embedded schema).
DROP INDEX IF EXISTS laboratory.ixDLResultDay;
CREATE INDEX IF NOT EXISTS ixDLResultOfDay ON laboratory.tbLabInstrumentDLHemaResult (InstrumentID, (CAST(Resultdate AS date)));

-- The instrument's worklist: which sample carries which order.
CREATE TABLE IF NOT EXISTS laboratory.tbLabInstrumentHemaWorkList (
    WorkListID        integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    InstrumentID      text COLLATE laboratory.nocase NOT NULL,
    refnum            text COLLATE laboratory.nocase NOT NULL,
    SampleNumber      text COLLATE laboratory.nocase NOT NULL,
    orderdate         timestamp without time zone NOT NULL,
    RequestedExamCode text COLLATE laboratory.nocase NOT NULL DEFAULT '',
    RequestNum        text COLLATE laboratory.nocase NOT NULL DEFAULT ''
);

CREATE INDEX IF NOT EXISTS ixWorkListRefNum ON laboratory.tbLabInstrumentHemaWorkList (refnum);

-- Every message an analyser delivered, as received (framing removed), with
-- what became of it: the support record of the downloads above. From
-- version 4.
CREATE TABLE IF NOT EXISTS laboratory.tbLabInstrumentMessage (
    MessageID    integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    InstrumentID text COLLATE laboratory.nocase NOT NULL,
    Protocol     text NOT NULL,
    ControlID    text NOT NULL DEFAULT '',
    ReceivedAt   timestamp without time zone NOT NULL,
    Results      integer NOT NULL DEFAULT 0,
    Duplicates   integer NOT NULL DEFAULT 0,
    Held         integer NOT NULL DEFAULT 0,
    Message      text NOT NULL,
    Sender       text NOT NULL DEFAULT '',
    Verdict      text NOT NULL DEFAULT ''
);

-- Each result an instrument delivered, by its status and its result time
-- (or a digest of value, unit and flags when it came without one): a resend
-- is known even after a later status changed the row it made.
CREATE TABLE IF NOT EXISTS laboratory.tbLabInstrumentResultKey (
    InstrumentID   text COLLATE laboratory.nocase NOT NULL,
    SampleNum      text COLLATE laboratory.nocase NOT NULL,
    InstrumentItem text COLLATE laboratory.nocase NOT NULL,
    ResultStatus   text NOT NULL,
    ResultKey      text NOT NULL,
    PRIMARY KEY (InstrumentID, SampleNum, InstrumentItem, ResultStatus, ResultKey)
);

CREATE INDEX IF NOT EXISTS ixWorkListSample ON laboratory.tbLabInstrumentHemaWorkList (InstrumentID, SampleNumber);

-- Version 5: the checks of a result (critical and plausible limits, the
-- delta check) on exam items, who entered a result and from where, critical
-- calls, delta acknowledgements and corrections on results; a laboratory of
-- version 4 gains the columns at the end of its tables.
ALTER TABLE laboratory.tbLabExamItem ADD COLUMN IF NOT EXISTS CriticalLow double precision;

ALTER TABLE laboratory.tbLabExamItem ADD COLUMN IF NOT EXISTS CriticalHigh double precision;

ALTER TABLE laboratory.tbLabExamItem ADD COLUMN IF NOT EXISTS PlausibleLow double precision;

ALTER TABLE laboratory.tbLabExamItem ADD COLUMN IF NOT EXISTS PlausibleHigh double precision;

ALTER TABLE laboratory.tbLabExamItem ADD COLUMN IF NOT EXISTS DeltaLimit double precision;

ALTER TABLE laboratory.tbLabExamItem ADD COLUMN IF NOT EXISTS DeltaPercent text NOT NULL DEFAULT 'N';

ALTER TABLE laboratory.tbLabExamItem ADD COLUMN IF NOT EXISTS DeltaDays integer NOT NULL DEFAULT 0;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS EntryBy text;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS EntryAt timestamp without time zone;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS EntrySource text;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS EntryInstrument text;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS EntrySample text;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS EntryWorkstation text;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS CriticalCalledTo text;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS CriticalCalledAt timestamp without time zone;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS CriticalCalledBy text;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS DeltaAcknowledgedBy text;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS DeltaAcknowledgedAt timestamp without time zone;

ALTER TABLE laboratory.tbLabResult ADD COLUMN IF NOT EXISTS CorrectedFrom text;

-- Result statuses of downloads, and the sender and verdict of each message.
ALTER TABLE laboratory.tbLabInstrumentDLHemaResult ADD COLUMN IF NOT EXISTS ResultStatus text NOT NULL DEFAULT '';

ALTER TABLE laboratory.tbLabInstrumentDLHemaResult ADD COLUMN IF NOT EXISTS Corrects integer;

ALTER TABLE laboratory.tbLabInstrumentMessage ADD COLUMN IF NOT EXISTS Sender text NOT NULL DEFAULT '';

ALTER TABLE laboratory.tbLabInstrumentMessage ADD COLUMN IF NOT EXISTS Verdict text NOT NULL DEFAULT '';

-- Results stored before statuses and keys are known by their result time.
INSERT INTO laboratory.tbLabInstrumentResultKey (InstrumentID, SampleNum, InstrumentItem, ResultStatus, ResultKey)
SELECT d.InstrumentID, d.SampleNum, d.InstrumentItem, 'F', 't:' || to_char(d.Resultdate, 'YYYY-MM-DD HH24:MI:SS')
FROM laboratory.tbLabInstrumentDLHemaResult d
WHERE d.ResultStatus = ''
ON CONFLICT DO NOTHING;

-- Every change to a saved result and to a laboratory option, written by
-- the triggers below whatever made it (Note says when that was not one of
-- the laboratory's procedures); Hash chains each row to the one before, set
-- once at commit. Rows are only ever added.
CREATE TABLE IF NOT EXISTS laboratory.tbLabResultAudit (
    AuditID     integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    RequestNum  text COLLATE laboratory.nocase NOT NULL,
    ItemID      text COLLATE laboratory.nocase NOT NULL,
    Field       text NOT NULL,
    OldValue    text NOT NULL DEFAULT '',
    NewValue    text NOT NULL DEFAULT '',
    ChangedBy   text NOT NULL DEFAULT '',
    Workstation text NOT NULL DEFAULT '',
    ChangedAt   timestamp without time zone NOT NULL
);

ALTER TABLE laboratory.tbLabResultAudit ADD COLUMN IF NOT EXISTS Note text NOT NULL DEFAULT '';

ALTER TABLE laboratory.tbLabResultAudit ADD COLUMN IF NOT EXISTS Hash text;

-- The order rows were sealed in, which the chain follows: writers side by
-- side commit in another order than they numbered their rows.
ALTER TABLE laboratory.tbLabResultAudit ADD COLUMN IF NOT EXISTS SealNo bigint;

CREATE INDEX IF NOT EXISTS ixAuditSealNo ON laboratory.tbLabResultAudit (SealNo);

CREATE INDEX IF NOT EXISTS ixAuditRequest ON laboratory.tbLabResultAudit (RequestNum, ItemID);

CREATE INDEX IF NOT EXISTS ixAuditUnsealed ON laboratory.tbLabResultAudit (AuditID) WHERE Hash IS NULL;

CREATE OR REPLACE FUNCTION laboratory.refuseAuditChange() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE EXCEPTION 'The audit trail of results is never changed.'; END $$;

DROP TRIGGER IF EXISTS trAuditNoChange ON laboratory.tbLabResultAudit;

CREATE OR REPLACE TRIGGER trAuditNoRemove BEFORE DELETE OR TRUNCATE ON laboratory.tbLabResultAudit FOR EACH STATEMENT EXECUTE FUNCTION laboratory.refuseAuditChange();

-- Only the seal may be set, once.
CREATE OR REPLACE FUNCTION laboratory.refuseAuditUpdate() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF OLD.Hash IS NOT NULL OR NEW.Hash IS NULL OR (NEW.AuditID, NEW.RequestNum, NEW.ItemID, NEW.Field, NEW.OldValue, NEW.NewValue, NEW.ChangedBy, NEW.Workstation, NEW.ChangedAt, NEW.Note) IS DISTINCT FROM (OLD.AuditID, OLD.RequestNum, OLD.ItemID, OLD.Field, OLD.OldValue, OLD.NewValue, OLD.ChangedBy, OLD.Workstation, OLD.ChangedAt, OLD.Note) THEN RAISE EXCEPTION 'The audit trail of results is never changed.'; END IF; RETURN NEW; END $$;

CREATE OR REPLACE TRIGGER trAuditSealOnly BEFORE UPDATE ON laboratory.tbLabResultAudit FOR EACH ROW EXECUTE FUNCTION laboratory.refuseAuditUpdate();

-- Who the writing transaction works for: set by the procedures, read by the
-- audit triggers, emptied before each commit.
CREATE TABLE IF NOT EXISTS laboratory.tbLabAuditContext (
    Slot        integer NOT NULL PRIMARY KEY,
    Employee    text NOT NULL DEFAULT '',
    Workstation text NOT NULL DEFAULT '',
    ChangedAt   timestamp without time zone NOT NULL,
    Note        text NOT NULL DEFAULT ''
);

-- Appends one audit row as the context of the transaction (its connection's
-- slot) says.
CREATE OR REPLACE FUNCTION laboratory.auditRow(req text, item text, field text, before text, after text) RETURNS void LANGUAGE plpgsql SECURITY DEFINER SET search_path = laboratory, pg_temp AS $$ DECLARE c record; BEGIN IF coalesce(before, '') = coalesce(after, '') THEN RETURN; END IF; SELECT * INTO c FROM laboratory.tbLabAuditContext WHERE Slot = pg_backend_pid(); INSERT INTO laboratory.tbLabResultAudit (RequestNum, ItemID, Field, OldValue, NewValue, ChangedBy, Workstation, ChangedAt, Note) VALUES (req, item, field, coalesce(before, ''), coalesce(after, ''), coalesce(c.Employee, ''), coalesce(c.Workstation, ''), coalesce(c.ChangedAt, localtimestamp(0)), CASE WHEN c.Slot IS NULL THEN 'made outside the laboratory''s procedures' ELSE c.Note END); END $$;

CREATE OR REPLACE FUNCTION laboratory.resultValue(kind text, si text, patient text) RETURNS text LANGUAGE sql IMMUTABLE AS $$ SELECT CASE kind WHEN 'N' THEN si ELSE patient END $$;

CREATE OR REPLACE FUNCTION laboratory.entryText(who text, source text, instrument text, sample text) RETURNS text LANGUAGE sql IMMUTABLE AS $$ SELECT who || CASE source WHEN 'I' THEN ' (instrument ' || coalesce(instrument, '') || ', sample ' || coalesce(sample, '') || ')' WHEN 'T' THEN ' (typed)' ELSE '' END $$;

CREATE OR REPLACE FUNCTION laboratory.callText(calledTo text, calledAt timestamp without time zone) RETURNS text LANGUAGE sql IMMUTABLE AS $$ SELECT calledTo || ' at ' || to_char(calledAt, 'YYYY-MM-DD HH24:MI:SS') $$;

CREATE OR REPLACE FUNCTION laboratory.auditResult() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER SET search_path = laboratory, pg_temp AS $$
DECLARE o laboratory.tbLabResult%ROWTYPE; BEGIN
IF TG_OP = 'DELETE' THEN PERFORM laboratory.auditRow(OLD.RequestNum, OLD.ItemID, 'Deleted', coalesce(laboratory.resultValue(OLD.ResultKind, OLD.SIResult, OLD.PatientValue), ''), ''); RETURN OLD; END IF
; IF TG_OP = 'UPDATE' THEN o := OLD; ELSE o.Verified := 'N'; END IF
; PERFORM laboratory.auditRow(NEW.RequestNum, NEW.ItemID, 'Result', laboratory.resultValue(o.ResultKind, o.SIResult, o.PatientValue), laboratory.resultValue(NEW.ResultKind, NEW.SIResult, NEW.PatientValue))
; PERFORM laboratory.auditRow(NEW.RequestNum, NEW.ItemID, 'Interpretation', o.Result, NEW.Result)
; PERFORM laboratory.auditRow(NEW.RequestNum, NEW.ItemID, 'Conventional result', o.CResult, NEW.CResult)
; PERFORM laboratory.auditRow(NEW.RequestNum, NEW.ItemID, 'Remarks', o.Remarks, NEW.Remarks)
; PERFORM laboratory.auditRow(NEW.RequestNum, NEW.ItemID, 'Entered by', laboratory.entryText(o.EntryBy, o.EntrySource, o.EntryInstrument, o.EntrySample), laboratory.entryText(NEW.EntryBy, NEW.EntrySource, NEW.EntryInstrument, NEW.EntrySample))
; PERFORM laboratory.auditRow(NEW.RequestNum, NEW.ItemID, 'Critical call', laboratory.callText(o.CriticalCalledTo, o.CriticalCalledAt), laboratory.callText(NEW.CriticalCalledTo, NEW.CriticalCalledAt))
; PERFORM laboratory.auditRow(NEW.RequestNum, NEW.ItemID, 'Delta acknowledged', o.DeltaAcknowledgedBy, NEW.DeltaAcknowledgedBy)
; PERFORM laboratory.auditRow(NEW.RequestNum, NEW.ItemID, 'Verified', o.Verified, NEW.Verified)
; PERFORM laboratory.auditRow(NEW.RequestNum, NEW.ItemID, 'Verified by', o.VerifiedBy, NEW.VerifiedBy)
; RETURN NEW; END $$;

CREATE OR REPLACE TRIGGER trResultAudit AFTER INSERT OR UPDATE OR DELETE ON laboratory.tbLabResult FOR EACH ROW EXECUTE FUNCTION laboratory.auditResult();

-- Laboratory-wide options, set by the administrator (lis-host option):
-- SeparateVerifier 'Y' refuses verification by whoever entered a result.
CREATE TABLE IF NOT EXISTS laboratory.tbLabOption (
    Name  text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    Value text NOT NULL
);

CREATE OR REPLACE FUNCTION laboratory.auditOption() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER SET search_path = laboratory, pg_temp AS $$ BEGIN IF TG_OP = 'DELETE' THEN PERFORM laboratory.auditRow('', '', 'Option ' || OLD.Name, OLD.Value, ''); RETURN OLD; END IF; PERFORM laboratory.auditRow('', '', 'Option ' || NEW.Name, CASE TG_OP WHEN 'UPDATE' THEN OLD.Value ELSE '' END, NEW.Value); RETURN NEW; END $$;

CREATE OR REPLACE TRIGGER trOptionAudit AFTER INSERT OR UPDATE OR DELETE ON laboratory.tbLabOption FOR EACH ROW EXECUTE FUNCTION laboratory.auditOption();

-- Version 8: quality control. A control lot of one instrument and item at
-- one level, its targets from the manufacturer's sheet ('sheet') or, while
-- Established is 'runs', fixed from its first 20 results (Null until then).
-- Values and targets are decimal texts, compared in decimal.
CREATE TABLE IF NOT EXISTS laboratory.tbLabQCLot (
    LotID        integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    InstrumentID text COLLATE laboratory.nocase NOT NULL,
    ItemID       text COLLATE laboratory.nocase NOT NULL,
    Material     text NOT NULL,
    Level        integer NOT NULL CHECK (Level IN (1, 2, 3)),
    LotNo        text COLLATE laboratory.nocase NOT NULL,
    Expiry       timestamp without time zone NOT NULL,
    TargetMean   text,
    TargetSD     text,
    Unit         text NOT NULL DEFAULT '',
    Established  text NOT NULL DEFAULT 'sheet' CHECK (Established IN ('sheet', 'runs')),
    Retired      text NOT NULL DEFAULT 'N',
    UNIQUE (InstrumentID, ItemID, LotNo)
);

-- The sample ids an analyser sends a lot's controls under (QC-GLU-1); one
-- sample of a multi-analyte control carries the lots of several items.
CREATE TABLE IF NOT EXISTS laboratory.tbLabQCSampleID (
    InstrumentID text COLLATE laboratory.nocase NOT NULL,
    SampleID     text COLLATE laboratory.nocase NOT NULL,
    LotID        integer NOT NULL REFERENCES laboratory.tbLabQCLot (LotID),
    PRIMARY KEY (InstrumentID, SampleID, LotID)
);

-- Each control result as judged on arrival. RunAt is the start of its run
-- (the controls of one instrument and item measured within 30 minutes of
-- the first); Source 'I' from an analyser's message (MessageID), 'M' typed.
CREATE TABLE IF NOT EXISTS laboratory.tbLabQCResult (
    QCResultID integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    LotID      integer NOT NULL REFERENCES laboratory.tbLabQCLot (LotID),
    MeasuredAt timestamp without time zone NOT NULL,
    RunAt      timestamp without time zone NOT NULL,
    Value      text NOT NULL,
    ZScore     double precision,
    Rules      text NOT NULL DEFAULT '',
    Verdict    text NOT NULL CHECK (Verdict IN ('accepted', 'warning', 'rejected')),
    Source     text NOT NULL DEFAULT 'M' CHECK (Source IN ('I', 'M')),
    MessageID  integer,
    SampleID   text NOT NULL DEFAULT '',
    EnteredBy  text NOT NULL DEFAULT '',
    EnteredAt  timestamp without time zone NOT NULL
);

CREATE INDEX IF NOT EXISTS ixQCResultLot ON laboratory.tbLabQCResult (LotID, MeasuredAt);

-- The rules that reject a run of an item (the others only warn); an item
-- without a row rejects on 1-3s, 2-2s, R-4s, 4-1s and 10-x.
CREATE TABLE IF NOT EXISTS laboratory.tbLabQCRules (
    ItemID    text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    Rejecting text NOT NULL
);

-- A rejected run of an instrument and item and the hold it puts on the
-- patient results measured from RejectedAt until the next accepted run
-- (AcceptedAt); released once that run and a corrective action are there.
CREATE TABLE IF NOT EXISTS laboratory.tbLabQCHold (
    HoldID       integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    InstrumentID text COLLATE laboratory.nocase NOT NULL,
    ItemID       text COLLATE laboratory.nocase NOT NULL,
    RejectedAt   timestamp without time zone NOT NULL,
    Rules        text NOT NULL,
    Level        integer NOT NULL,
    AcceptedAt   timestamp without time zone,
    ReleasedBy   text,
    ReleasedAt   timestamp without time zone
);

CREATE INDEX IF NOT EXISTS ixQCHoldItem ON laboratory.tbLabQCHold (InstrumentID, ItemID, RejectedAt);

CREATE TABLE IF NOT EXISTS laboratory.tbLabQCAction (
    ActionID     integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    InstrumentID text COLLATE laboratory.nocase NOT NULL,
    ItemID       text COLLATE laboratory.nocase NOT NULL,
    HoldID       integer REFERENCES laboratory.tbLabQCHold (HoldID),
    Action       text NOT NULL,
    RecordedBy   text NOT NULL,
    RecordedAt   timestamp without time zone NOT NULL
);

-- A patient result of a failed interval, reviewed and confirmed by a
-- technologist before it may be verified.
CREATE TABLE IF NOT EXISTS laboratory.tbLabQCReview (
    HoldID      integer NOT NULL REFERENCES laboratory.tbLabQCHold (HoldID),
    RequestNum  text COLLATE laboratory.nocase NOT NULL,
    ItemID      text COLLATE laboratory.nocase NOT NULL,
    ConfirmedBy text NOT NULL,
    ConfirmedAt timestamp without time zone NOT NULL,
    PRIMARY KEY (HoldID, RequestNum, ItemID)
);
