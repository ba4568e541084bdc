#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <string>

// The reply body, whole; judged by main after the transfer.
extern std::string strOutput;

size_t readCallback(char *buffer, size_t size, size_t nitems, void *userdata);
size_t writeCallback(char *data, size_t size, size_t nmemb, void *userdata);

// Sends standard input to the upload URL, trusting only caPath; a read error
// on standard input fails the transfer and is told in errorText. Ends the
// process if no handle can be had; otherwise leaves it in *curl for the caller
// to release.
CURLcode upload(CURL **curl, const char *caPath, char *errorText);
