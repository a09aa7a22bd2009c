#pragma once

// Each group of stored procedures registers itself with the registry.
void registerPatientProcedures();
void registerResultHeaderProcedures();
void registerCutOffProcedures();
void registerNormalValueProcedures();
void registerInstrumentProcedures();
void registerReportProcedures();
void registerCheckProcedures();
void registerQualityControlProcedures();
