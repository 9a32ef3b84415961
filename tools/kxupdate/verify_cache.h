#pragma once
// "kxupdate verify-cache": checks every key of the security products cache
// (HKLM\Software\Veltrastone\Cache\SecurityProducts) by recomputing its
// "Verify" from the stored values and the key's own path, and prints one line
// per key, OK or MISMATCH with the reason. Returns the exit code: 0 when every
// key agrees, 1 when one does not or there is no cache to check.

int VerifyCache();
