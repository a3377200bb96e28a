#pragma once
// realmporter-manifest check-mirrors: what every mirror a manifest lists
// really serves.

int CheckMirrors(int argc, char** argv);
