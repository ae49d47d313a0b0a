#pragma once
// Where the program's protocol engines meet the registry.

// Registers the engine maker of every served type with the registry. Called once by
// main, before either front starts a server.
void RegisterEngines();
