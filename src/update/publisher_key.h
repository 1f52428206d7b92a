// The publisher's public key a build carries, which every manifest it takes must be signed with.
#pragma once

#include <string>

#include "support/result.h"

// The base64 text of the key's SubjectPublicKeyInfo, from the resource "OKAVU_UPDATE_KEY" (RCDATA) that
// the build embeds when OKAVU_UPDATE_PUBLIC_KEY is set; empty for a build without a key, which takes
// manifests unsigned.
std::string EmbeddedPublisherKey();

// The key an executable file carries, read from its resources as data (its code never runs); empty when
// it carries none. Fails when the file cannot be loaded as an image.
Result<std::string> PublisherKeyOfFile(const std::wstring& path);
