// The daemon's internal clients: the disk logger's client, which the delivery side makes and
// runs like any other, with the history's filing as its callback.
#pragma once

// Makes the disk logger's client on the root volume's history and starts its thread. 0 or
// EINVAL (logged).
int start_disk_logger();
