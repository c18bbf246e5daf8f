// Connects the layers at start-up: fills the tables of functions through which the lower
// layers call up (the event thread into the clients, the histories and the state dump).
#pragma once

// Before the event thread starts.
void connect_layers();
