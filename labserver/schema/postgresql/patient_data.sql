-- Patient master data shared with the rest of the hospital system: schema
-- patient_data of the laboratory's database. Runs after laboratory.sql,
-- whose collation laboratory.nocase compares the text keys without case.
-- Date-time columns are timestamp without time zone.

CREATE SCHEMA IF NOT EXISTS patient_data;

CREATE TABLE IF NOT EXISTS patient_data.tbHospitalInfo (
    Title      text,
    Company    text,
    address1   text,
    address2   text,
    Telephone  text
);

CREATE TABLE IF NOT EXISTS patient_data.tbPatient (
    HospNum     text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    LastName    text NOT NULL,
    FirstName   text NOT NULL,
    MiddleName  text NOT NULL DEFAULT '',
    Sex         text NOT NULL DEFAULT '',
    BirthDate   timestamp without time zone,
    CivilStatus text NOT NULL DEFAULT '',
    BloodType   text NOT NULL DEFAULT ''
);

-- One stay (in-patient) or visit (out-patient) of a patient.
CREATE TABLE IF NOT EXISTS patient_data.tbAdmission (
    IDNum      text COLLATE laboratory.nocase NOT NULL PRIMARY KEY,
    HospNum    text COLLATE laboratory.nocase NOT NULL,
    RoomId     text NOT NULL DEFAULT '',
    Class      text NOT NULL DEFAULT '',
    Ward       text NOT NULL DEFAULT '',
    Transplant text NOT NULL DEFAULT 'N',
    Dialysis   text NOT NULL DEFAULT 'N',
    AdmittedAt timestamp without time zone
);

CREATE INDEX IF NOT EXISTS ixAdmissionPatient ON patient_data.tbAdmission (HospNum);
