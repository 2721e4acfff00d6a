#pragma once
// vyxctl fleet: back up many sites into a vault, or report their reachability and backup age.
#include "ctloptions.h"
#include "ctloutput.h"

int runFleetCommand(const CtlOptions &options, CtlOutput &output);
