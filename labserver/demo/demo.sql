-- The demo laboratory: a hospital, patients, exams of every format, requests
-- and an instrument. Safe to load again: nothing that exists is touched but
-- the demo's own figures of an earlier build, where they were wrong.

INSERT INTO patient_data.tbHospitalInfo (Title, Company, address1, address2, Telephone) SELECT 'Department of Pathology and Laboratory Medicine', 'St. Mercy General Hospital', '1200 Harbour Road, Port Town 4100', 'Accredited Clinical Laboratory No. 04-118', '(082) 555-0142' WHERE NOT EXISTS (SELECT 1 FROM patient_data.tbHospitalInfo);

INSERT INTO tbPatient (HospNum, LastName, FirstName, MiddleName, Sex, BirthDate, CivilStatus, BloodType) VALUES
 ('H-0001', 'DELA CRUZ', 'JUAN', 'SANTOS', 'M', '1980-05-10 00:00:00', 'Married', 'O+'),
 ('H-0002', 'O''BRIEN', 'MARY', 'ANNE', 'F', '1992-11-23 00:00:00', 'Single', 'A-'),
 ('H-0003', 'SANTOS', 'MARIA LUISA', 'REYES', 'F', '1975-02-14 00:00:00', 'Widowed', 'B+'),
 ('H-0004', 'TAN', 'ROBERT', 'CHUA', 'M', '1968-08-30 00:00:00', 'Married', 'AB+'),
 ('H-0005', 'REYES', 'ANA', 'MAE', 'F', '2001-07-04 00:00:00', 'Single', 'O-'),
 ('H-0006', 'GARCIA', 'MIGUEL', 'LOPEZ', 'M', '1959-12-01 00:00:00', 'Married', 'A+'),
 ('H-0007', 'LIM', 'GRACE', 'SY', 'F', '1988-03-19 00:00:00', 'Married', 'O+'),
 ('H-0008', 'NAKAMURA', 'KENJI', '', 'M', '1995-09-09 00:00:00', 'Single', 'B-'),
 ('H-0009', 'MENDOZA', 'LOURDES', 'PEREZ', 'F', '1949-04-22 00:00:00', 'Widowed', 'A+'),
 ('H-0010', 'OKAFOR', 'CHIDI', '', 'M', '1983-06-15 00:00:00', 'Married', 'O+')
    ON CONFLICT DO NOTHING;

INSERT INTO tbAdmission (IDNum, HospNum, RoomId, Class, Ward, Transplant, Dialysis) VALUES
 ('A-24001', 'H-0001', '305-A', 'Private', 'Medical Ward', 'N', 'N'),
 ('A-24002', 'H-0003', '210-B', 'Semi-Private', 'Surgical Ward', 'N', 'N'),
 ('A-24003', 'H-0006', '118', 'Ward', 'Renal Unit', 'N', 'Y'),
 ('A-24004', 'H-0009', 'ICU-4', 'Private', 'Intensive Care', 'Y', 'N'),
 ('O-24010', 'H-0002', 'OPD', 'Out-patient', 'Out-Patient Dept.', 'N', 'N'),
 ('O-24011', 'H-0004', 'OPD', 'Out-patient', 'Out-Patient Dept.', 'N', 'N'),
 ('O-24012', 'H-0005', 'OPD', 'Out-patient', 'Out-Patient Dept.', 'N', 'N'),
 ('O-24013', 'H-0007', 'OPD', 'Out-patient', 'Out-Patient Dept.', 'N', 'N'),
 ('O-24014', 'H-0008', 'ER-2', 'Emergency', 'Emergency Room', 'N', 'N'),
 ('O-24015', 'H-0010', 'OPD', 'Out-patient', 'Out-Patient Dept.', 'N', 'N')
    ON CONFLICT DO NOTHING;

INSERT INTO tbLabSection (SectionID, LabSection) VALUES
 ('SER', 'Serology and Immunology'), ('CHEM', 'Clinical Chemistry'), ('HEMA', 'Hematology')
    ON CONFLICT DO NOTHING;

INSERT INTO tbLabStaff (StaffID, StaffName, Role) VALUES
 ('PATH01', 'Elena Villanueva, MD, FPSP', 'Pathologist'),
 ('MT01', 'Carlos Bautista, RMT', 'Medical Technologist'),
 ('MT02', 'Joy Ramos, RMT', 'Medical Technologist'),
 ('CL01', 'Nora Dizon', 'Laboratory Clerk'),
 ('PHY01', 'Ramon Cruz, MD', 'Physician'),
 ('PHY02', 'Teresa Uy, MD', 'Physician'),
 ('RES01', 'Liza Ong, MD', 'Resident')
    ON CONFLICT DO NOTHING;

INSERT INTO tbLabSpecimen (SpecimenId, Specimen) VALUES
 ('SER', 'Serum'), ('WB', 'Whole blood (EDTA)'), ('PLA', 'Plasma')
    ON CONFLICT DO NOTHING;

-- Cut-off items: S/CO is signal over cut-off. Anti-HBc is a competitive
-- assay: reactive at or below the cut-off.
INSERT INTO tbLabExamItem (ItemID, ExamName, ItemFormType, SIUnit, CutOff, ReactiveAtOrAbove, PositiveLabel, NegativeLabel, GreyZone, NormalValues) VALUES
 ('HBSAG', 'Hepatitis B surface antigen (HBsAg)', '5', 'S/CO', 1.0, 1, 'REACTIVE', 'NON-REACTIVE', 0, 'NON-REACTIVE'),
 ('ANTIHBS', 'Anti-HBs', '5', 'mIU/mL', 10.0, 1, 'POSITIVE', 'NEGATIVE', 0, 'NEGATIVE'),
 ('ANTIHBC', 'Anti-HBc (total)', '5', 'S/CO', 1.0, 0, 'REACTIVE', 'NON-REACTIVE', 0, 'NON-REACTIVE'),
 ('ANTIHCV', 'Anti-HCV', '5', 'S/CO', 1.0, 1, 'REACTIVE', 'NON-REACTIVE', 0.2, 'NON-REACTIVE'),
 ('HIV', 'HIV 1/2 antibodies', '5', 'S/CO', 1.0, 1, 'REACTIVE', 'NON-REACTIVE', 0.1, 'NON-REACTIVE'),
 ('SYPH', 'Syphilis (T. pallidum antibodies)', '5', 'S/CO', 1.0, 1, 'POSITIVE', 'NEGATIVE', 0, 'NEGATIVE'),
 ('NS1', 'Dengue NS1 antigen', 'W', 'Index', 1.0, 1, 'POSITIVE', 'NEGATIVE', 0.1, 'NEGATIVE'),
 ('TYPHIGM', 'Salmonella typhi IgM', '5', 'Index', 1.1, 1, 'POSITIVE', 'NEGATIVE', 0.1, 'NEGATIVE')
    ON CONFLICT DO NOTHING;

-- Normal-value items: conventional = SI x Factor, with the factors
-- laboratories use, kept in full (1 / 88.42, not 0.0113).
INSERT INTO tbLabExamItem (ItemID, ExamName, ItemFormType, SIUnit, SIMin, SIMax, SIPrecision, CUnit, Factor, CPrecision) VALUES
 ('GLU', 'Glucose (fasting)', '1', 'mmol/L', 3.9, 6.1, 1, 'mg/dL', 18.016, 0),
 ('CREA', 'Creatinine', '7', 'umol/L', 53, 106, 0, 'mg/dL', 1 / 88.42, 2),
 ('UREA', 'Urea (BUN)', '7', 'mmol/L', 2.5, 7.1, 1, 'mg/dL', 2.801, 0),
 ('URIC', 'Uric acid', '8', 'umol/L', 150, 420, 0, 'mg/dL', 1 / 59.48, 1),
 ('CHOL', 'Cholesterol, total', '8', 'mmol/L', NULL, 5.2, 2, 'mg/dL', 38.67, 0),
 ('TRIG', 'Triglycerides', '8', 'mmol/L', NULL, 1.7, 2, 'mg/dL', 88.57, 0),
 ('HGB', 'Hemoglobin', '1', 'g/L', 120, 160, 0, 'g/dL', 0.1, 1),
 ('WBC', 'White blood cells', '1', 'x10^9/L', 4.5, 11.0, 1, 'x10^3/uL', 1, 1),
 ('PLT', 'Platelets', '1', 'x10^9/L', 150, 400, 0, 'x10^3/uL', 1, 0),
 ('K', 'Potassium', '1', 'mmol/L', 3.5, 5.1, 1, 'mEq/L', 1, 1)
    ON CONFLICT DO NOTHING;

-- The checks of a result: critical limits called to the ward, plausible
-- limits against typing slips, and the change from the patient's previous
-- verified result that asks for a second look.
WITH checks (ItemID, CriticalLow, CriticalHigh, PlausibleLow, PlausibleHigh, DeltaLimit, DeltaPercent, DeltaDays) AS (VALUES
 ('GLU', 2.5, 25.0, 0.0, 100.0, 50.0, 'Y', 30),
 ('K', 2.8, 6.2, NULL, NULL, NULL, 'N', 0),
 ('HGB', 70.0, NULL, NULL, NULL, 20.0, 'N', 30),
 ('CREA', NULL, NULL, NULL, NULL, 50.0, 'Y', 30))
UPDATE tbLabExamItem SET CriticalLow = checks.CriticalLow, CriticalHigh = checks.CriticalHigh,
 PlausibleLow = checks.PlausibleLow, PlausibleHigh = checks.PlausibleHigh,
 DeltaLimit = checks.DeltaLimit, DeltaPercent = checks.DeltaPercent, DeltaDays = checks.DeltaDays
 FROM checks WHERE checks.ItemID = tbLabExamItem.ItemID;

-- A demo laboratory built before had these two factors cut short.
UPDATE tbLabExamItem SET Factor = 1 / 88.42 WHERE ItemID = 'CREA' AND Factor = 0.0113;
UPDATE tbLabExamItem SET Factor = 1 / 59.48 WHERE ItemID = 'URIC' AND Factor = 0.0168;

-- The conventional limits as laboratories state them (< 200 mg/dL, where
-- 5.2 mmol/L converts to 201), for the items that have none of their own
-- yet: new ones, and those of a demo laboratory built before.
WITH own (ItemID, "CMin", "CMax") AS (VALUES
 ('GLU', 70, 110), ('CREA', 0.6, 1.2), ('UREA', 7, 20), ('URIC', 2.5, 7.0),
 ('CHOL', NULL, 200), ('TRIG', NULL, 150), ('HGB', 12.0, 16.0), ('WBC', 4.5, 11.0),
 ('PLT', 150, 400), ('K', 3.5, 5.1))
UPDATE tbLabExamItem SET "CMin" = own."CMin", "CMax" = own."CMax" FROM own
 WHERE own.ItemID = tbLabExamItem.ItemID AND tbLabExamItem."CMin" IS NULL AND tbLabExamItem."CMax" IS NULL;

INSERT INTO tbLabExam (Code, ExamName, SectionID, FormType, ValueType, SpecimenId, PathologistID, ReaderID) VALUES
 ('HEPB', 'Hepatitis B Profile', 'SER', '5', '', 'SER', 'PATH01', 'MT01'),
 ('HEPC', 'Hepatitis C Screening', 'SER', '5', '', 'SER', 'PATH01', 'MT01'),
 ('PRENAT', 'Prenatal Screening Package', 'SER', 'P', '5', 'SER', 'PATH01', 'MT01'),
 ('EXECPK', 'Executive Package, short form', 'CHEM', 'P', 'D', 'SER', 'PATH01', 'MT02'),
 ('DENGUE', 'Dengue NS1 Antigen', 'SER', 'W', '', 'SER', 'PATH01', 'MT01'),
 ('DONOR', 'Blood Donor Screening', 'SER', 'H', 'Z', 'SER', 'PATH01', 'MT01'),
 ('TYPHOID', 'Typhoid Screening', 'SER', 'H', '5', 'SER', 'PATH01', 'MT01'),
 ('DENGDUO', 'Dengue Duo', 'SER', 'H', 'W', 'SER', 'PATH01', 'MT01'),
 ('CBC', 'Complete Blood Count', 'HEMA', 'H', '1', 'WB', 'PATH01', 'MT02'),
 ('RENALH', 'Renal Function Tests', 'CHEM', 'H', '7', 'SER', 'PATH01', 'MT02'),
 ('URICH', 'Uric Acid', 'CHEM', 'H', '8', 'SER', 'PATH01', 'MT02'),
 ('LIPIDH', 'Lipid Panel', 'CHEM', 'H', 'B', 'SER', 'PATH01', 'MT02'),
 ('FBS', 'Fasting Blood Sugar', 'CHEM', '1', '', 'PLA', 'PATH01', 'MT02'),
 ('RENAL', 'Renal Panel', 'CHEM', '7', '', 'SER', 'PATH01', 'MT02'),
 ('LIPID', 'Lipid Profile', 'CHEM', '8', '', 'SER', 'PATH01', 'MT02'),
 ('CHEM6', 'Blood Chemistry (6 tests)', 'CHEM', 'B', '', 'SER', 'PATH01', 'MT02'),
 ('HISTO', 'Histopathology', 'SER', 'X', '', 'SER', 'PATH01', '')
    ON CONFLICT DO NOTHING;

INSERT INTO tbLabExamFormat (Code, ItemID, SortOrder) VALUES
 ('HEPB', 'HBSAG', 1), ('HEPB', 'ANTIHBS', 2), ('HEPB', 'ANTIHBC', 3),
 ('HEPC', 'ANTIHCV', 1),
 ('PRENAT', 'HBSAG', 1), ('PRENAT', 'HIV', 2), ('PRENAT', 'SYPH', 3),
 ('EXECPK', 'GLU', 1), ('EXECPK', 'CHOL', 2),
 ('DENGUE', 'NS1', 1),
 ('DONOR', 'HBSAG', 1), ('DONOR', 'ANTIHCV', 2), ('DONOR', 'HIV', 3), ('DONOR', 'SYPH', 4),
 ('TYPHOID', 'TYPHIGM', 1),
 ('DENGDUO', 'NS1', 1),
 ('CBC', 'HGB', 1), ('CBC', 'WBC', 2), ('CBC', 'PLT', 3),
 ('RENALH', 'CREA', 1), ('RENALH', 'UREA', 2),
 ('URICH', 'URIC', 1),
 ('LIPIDH', 'CHOL', 1), ('LIPIDH', 'TRIG', 2),
 ('FBS', 'GLU', 1),
 ('RENAL', 'CREA', 1), ('RENAL', 'UREA', 2), ('RENAL', 'URIC', 3),
 ('LIPID', 'CHOL', 1), ('LIPID', 'TRIG', 2),
 ('CHEM6', 'GLU', 1), ('CHEM6', 'CREA', 2), ('CHEM6', 'UREA', 3), ('CHEM6', 'URIC', 4), ('CHEM6', 'CHOL', 5), ('CHEM6', 'TRIG', 6), ('CHEM6', 'K', 7)
    ON CONFLICT DO NOTHING;

INSERT INTO tbLabInstrument (InstrumentID, InstrumentName) VALUES ('AN-01', 'Integrated Analyzer AN-01')
    ON CONFLICT DO NOTHING;

INSERT INTO tbLabInstrumentExams (InstrumentID, InstrumentItem, ItemID, ShowResultValue, CutOff) VALUES
 ('AN-01', 'HBsAg', 'HBSAG', 'Y', 1.0),
 ('AN-01', 'aHBs', 'ANTIHBS', 'N', 10.0),
 ('AN-01', 'aHBc', 'ANTIHBC', 'N', 1.0),
 ('AN-01', 'aHCV', 'ANTIHCV', 'Y', 1.0),
 ('AN-01', 'HIV12', 'HIV', 'Y', 1.0),
 ('AN-01', 'TP', 'SYPH', NULL, 1.0),
 ('AN-01', 'NS1Ag', 'NS1', 'N', 1.0),
 ('AN-01', 'TyIgM', 'TYPHIGM', 'N', 1.1),
 ('AN-01', 'GLU', 'GLU', 'N', NULL),
 ('AN-01', 'CREA', 'CREA', 'N', NULL),
 ('AN-01', 'UREA', 'UREA', 'N', NULL),
 ('AN-01', 'UA', 'URIC', 'N', NULL),
 ('AN-01', 'CHOL', 'CHOL', 'N', NULL),
 ('AN-01', 'TG', 'TRIG', 'N', NULL),
 ('AN-01', 'HGB', 'HGB', 'N', NULL),
 ('AN-01', 'WBC', 'WBC', 'N', NULL),
 ('AN-01', 'PLT', 'PLT', 'N', NULL),
 ('AN-01', 'K', 'K', 'N', NULL)
    ON CONFLICT DO NOTHING;

-- Ranges by sex, and children's haemoglobin below 12 years of age.
INSERT INTO tbLabReferenceRange (ItemID, Sex, AgeFromDays, AgeToDays, SIMin, SIMax, ConvMin, ConvMax) VALUES
 ('HGB', 'F', 0, NULL, 120, 160, 12.0, 16.0),
 ('HGB', 'M', 0, NULL, 130, 180, 13.0, 18.0),
 ('HGB', '', 0, 4383, 110, 150, 11.0, 15.0),
 ('CREA', 'F', 0, NULL, 45, 90, 0.51, 1.02),
 ('CREA', 'M', 0, NULL, 60, 110, 0.68, 1.24)
    ON CONFLICT DO NOTHING;
