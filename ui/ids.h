#pragma once
// Command and control ids of the Main window's children.
enum ControlId : int {
  kIdPathBox = 1001,
  kIdBrowse = 1002,
  kIdStartGame = 1003,
  kIdPatchNormal = 1004,
  kIdNotice = 1005,
  kIdProgress = 1006,
  kIdClientHd = 1007,
  kIdPatchHd = 1008,
  kIdServerList = 1009,
  kIdServerDescription = 1010,
  kIdRegister = 1011,
  kIdClose = 1012,
  kIdMinimize = 1014,
  kIdClientNormal = 1015,
  kIdAddonA = 1016,
  kIdAddonB = 1017,
  kIdVerify = 1018,
};
