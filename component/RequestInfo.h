#pragma once

#include <QDateTime>
#include <QString>

// The laboratory request and its patient, one field per column of
// Lab_Get_PatientInformation. The windows consult FormType, ValueType and
// RefNum; the rest travels with the record.
struct RequestInfo {
    QString HospNum;
    QString IDNum;
    QString PatientName;
    QString Sex;
    QString Age;
    QString CivilStatus;
    QString RoomId;
    QString Class;
    QString Ward;
    QDateTime RequestDate;
    QString Doctor;
    QString Rush;
    QString RefNum;
    QString Transplant;
    QString Dialysis;
    QString OrNum;
    QString ExamName;
    QString LabSection;
    QString SectionID;
    QString Code;
    QString FormType;
    QString ValueType;
    QString Pathologist;
    QString SpecimenId;
    QString Specimen;
    QString Reader;
    QString ReaderID;
    QString Physician;
    QString PhysicianID;
    QString SupExamID;
    QString SupExam;
    QString ResidentId;
    QString Resident;
    QString BloodType;
};
