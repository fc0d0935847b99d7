#pragma once
// The key that answers the usage screen's page prompt.

// Reads one key from the console through the operating-system layer.
int ReadUsageKey();
