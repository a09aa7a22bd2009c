-- Patient master data shared with the rest of the hospital system.
-- Date-time columns are declared DATETIME and stored as "yyyy-MM-dd HH:mm:ss".

CREATE TABLE IF NOT EXISTS tbHospitalInfo (
    Title      TEXT,
    Company    TEXT,
    address1   TEXT,
    address2   TEXT,
    Telephone  TEXT
);

CREATE TABLE IF NOT EXISTS tbPatient (
    HospNum     TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    LastName    TEXT NOT NULL,
    FirstName   TEXT NOT NULL,
    MiddleName  TEXT NOT NULL DEFAULT '',
    Sex         TEXT NOT NULL DEFAULT '',
    BirthDate   DATETIME,
    CivilStatus TEXT NOT NULL DEFAULT '',
    BloodType   TEXT NOT NULL DEFAULT ''
);

-- One stay (in-patient) or visit (out-patient) of a patient.
CREATE TABLE IF NOT EXISTS tbAdmission (
    IDNum      TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
    HospNum    TEXT NOT NULL COLLATE NOCASE,
    RoomId     TEXT NOT NULL DEFAULT '',
    Class      TEXT NOT NULL DEFAULT '',
    Ward       TEXT NOT NULL DEFAULT '',
    Transplant TEXT NOT NULL DEFAULT 'N',
    Dialysis   TEXT NOT NULL DEFAULT 'N',
    AdmittedAt DATETIME
);

CREATE INDEX IF NOT EXISTS ixAdmissionPatient ON tbAdmission (HospNum);
