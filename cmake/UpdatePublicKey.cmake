# The publisher's public key for OKAVU_UPDATE_PUBLIC_KEY: a PEM file with an EC P-256 public key as
# `openssl ec -pubout` writes it ("-----BEGIN PUBLIC KEY-----"). The build embeds its base64 text as the
# resource OKAVU_UPDATE_KEY; configuring stops with a clear message for an unreadable file or a key of
# any other kind, so that no build ever carries a key it cannot use.
#
# Also a script: cmake -DKEY_FILE=PUBLIC.pem -P cmake/UpdatePublicKey.cmake prints the text or fails.

# SubjectPublicKeyInfo of an EC key on prime256v1 up to the point, in base64: every P-256 key starts so.
set(OKAVU_P256_SPKI_PREFIX "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE")

function(okavu_update_public_key path out_var)
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "OKAVU_UPDATE_PUBLIC_KEY: cannot read the key file '${path}'")
  endif()
  file(READ "${path}" pem)
  if(NOT pem MATCHES "-----BEGIN PUBLIC KEY-----([A-Za-z0-9+/=\r\n\t ]*)-----END PUBLIC KEY-----")
    message(FATAL_ERROR "OKAVU_UPDATE_PUBLIC_KEY: '${path}' holds no public key in PEM form "
                        "(\"-----BEGIN PUBLIC KEY-----\"); make one from the private key with "
                        "`openssl ec -in PRIVATE.pem -pubout -out PUBLIC.pem`")
  endif()
  string(REGEX REPLACE "[\r\n\t ]" "" text "${CMAKE_MATCH_1}")
  string(LENGTH "${text}" length)
  string(FIND "${text}" "${OKAVU_P256_SPKI_PREFIX}" prefix_at)
  # 91 bytes of key are 124 characters of base64 ending in "==".
  if(NOT length EQUAL 124 OR NOT prefix_at EQUAL 0 OR NOT text MATCHES "^[A-Za-z0-9+/]+==$")
    message(FATAL_ERROR "OKAVU_UPDATE_PUBLIC_KEY: '${path}' is not an EC P-256 (prime256v1) public key; "
                        "updates are signed with ECDSA on P-256: `openssl ecparam -name prime256v1 -genkey "
                        "-noout -out PRIVATE.pem`, then `openssl ec -in PRIVATE.pem -pubout -out PUBLIC.pem`")
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND KEY_FILE)
  okavu_update_public_key("${KEY_FILE}" key_text)
  message("${key_text}")
endif()
