// Signed updates: with a "public_key" in the update settings file, a download
// is installed only when the signature file published beside it (its address
// + ".minisig") is that key's and is not older than the installed release's,
// which is kept as <app dir>/update.gz.minisig.
#pragma once

#include <string>

#include "update/UpdateSettings.h"

// One start-up report of how updates are checked: a notice when they are not
// signed or which key signs them, an error when the key is not valid.
void ReportSigningSettings(const UPDATE_SETTINGS& settings);

// 0, or, when the settings hold a public_key that is not a valid key, the
// report of CheckUpdateSignature and kUpdateSignatureRefused: such a key
// refuses every check, before any transfer.
int CheckSigningKey(const UPDATE_SETTINGS& settings);

// Judges the download at archive, fetched from url, once its CRC matched.
// Returns 0 when it may be installed, with the signature file's text in
// *signature ("" when no key is set); otherwise removes archive, reports
// "signature refused, nothing installed! <why> url:<url>" and returns
// kUpdateSignatureRefused.
int CheckUpdateSignature(const UPDATE_SETTINGS& settings, const std::string& url,
                         const std::string& archive, std::string* signature);

// Keeps signature as the installed release's (written, synced, renamed into
// place, the folder synced), before update.gz takes the new release: an
// update.gz beside an older signature would let that older release be
// replayed. Does nothing when signature is empty. "" or why it failed.
std::string KeepInstalledSignature(const std::string& signature);
