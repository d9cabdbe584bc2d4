// Shared enumerations of the portable SQL library (dbapi).  Their ordinals cross the plug-in
// interface and are fixed; every enumeration is stored as a 32-bit value.
#pragma once

#include <cstdint>

namespace ov {

enum TDBABackend : std::int32_t { dbSQLite = 0, dbMariaDB = 1, dbPostgres = 2 };

enum TDBAColumnType : std::int32_t {
  dctText = 0,
  dctVarchar = 1,
  dctInteger = 2,
  dctBigInt = 3,
  dctFloat = 4,
  dctDouble = 5,
  dctBoolean = 6,
  dctBlob = 7,
  dctDateTime = 8,
  dctDate = 9,
  dctTime = 10,
  dctJSON = 11,
  dctUUID = 12
};

enum TDBACompareOp : std::int32_t {
  dcoEq = 0,
  dcoNeq = 1,
  dcoLt = 2,
  dcoLe = 3,
  dcoGt = 4,
  dcoGe = 5,
  dcoLike = 6,
  dcoILike = 7,
  dcoIn = 8,
  dcoNotIn = 9,
  dcoIsNull = 10,
  dcoIsNotNull = 11
};

enum TDBABoolOp : std::int32_t { dboAnd = 0, dboOr = 1 };

enum TDBAOrderDir : std::int32_t { dodAsc = 0, dodDesc = 1 };

enum TDBADateUnit : std::int32_t {
  duSecond = 0,
  duMinute = 1,
  duHour = 2,
  duDay = 3,
  duWeek = 4,
  duMonth = 5,
  duYear = 6
};

enum TDBAOnDeleteAction : std::int32_t {
  doaNoAction = 0,
  doaCascade = 1,
  doaSetNull = 2,
  doaRestrict = 3,
  doaSetDefault = 4
};

enum TDBALogLevel : std::int32_t { dllDebug = 0, dllInfo = 1, dllWarning = 2, dllError = 3 };

enum TDBASchemaChangeKind : std::int32_t {
  dsckCreateTable = 0,
  dsckAddColumn = 1,
  dsckModifyColumn = 2,
  dsckCreateIndex = 3,
  dsckDropIndex = 4
};

static_assert(sizeof(TDBABackend) == 4 && sizeof(TDBAColumnType) == 4 && sizeof(TDBACompareOp) == 4 &&
              sizeof(TDBABoolOp) == 4 && sizeof(TDBAOrderDir) == 4 && sizeof(TDBADateUnit) == 4 &&
              sizeof(TDBAOnDeleteAction) == 4 && sizeof(TDBALogLevel) == 4 &&
              sizeof(TDBASchemaChangeKind) == 4);

}  // namespace ov
