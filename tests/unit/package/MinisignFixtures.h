// Keys and signatures made by the minisign tool (minisign -G, -S, -S -l)
// for the signature suites: the key pair "first" signed kSignedMessage in
// both forms; "second" is another key. The public keys are also in keys/,
// from where the build embeds them into a key table of the tests.
#pragma once

namespace sigtest {

const char kSignedMessage[] = "firmware package bytes\n";

const char kFirstKey[] =
    "untrusted comment: minisign public key 70F4AA9E026A2C7E\n"
    "RWR+LGoCnqr0cMnnDnWVisqicxHX+koVaBS8hs6Yaz7tfzfugT3f+f82\n";
const char kFirstKeyId[] = "70F4AA9E026A2C7E";

const char kSecondKey[] =
    "untrusted comment: minisign public key 5CD58869D862D774\n"
    "RWR012LYaYjVXLS/JcvvYxOQF+ScImjoYjoSRaT4i4yghSuuT3JWiG1K\n";
const char kSecondKeyId[] = "5CD58869D862D774";

// minisign -S (prehashed, "ED").
const char kHashedSignature[] =
    "untrusted comment: signature from minisign secret key\n"
    "RUR+LGoCnqr0cFgx0NerLMSB6szVkONExhT9E9teNrq9DUlhTkK0yb4SJY8CsI0lRxpWz/ku0rQkfiW1aLyvtzbWm2xW4W"
    "CyHgs=\n"
    "trusted comment: file:msg\n"
    "adHgN5LqJZGQ9A6KkdmNrgR+Qj3sqPdFilhOp/9Pah96wqX2w27CxRVfYVbS5wQFt3fYKCGKETORJnFELufeCw==\n";

// minisign -S -l (legacy, "Ed").
const char kLegacySignature[] =
    "untrusted comment: signature from minisign secret key\n"
    "RWR+LGoCnqr0cDtouqNqABQfM3zJmtsY2PvxSssVcheAr/1qm162qD00R8hb2bSeXZQgO6QemQD302B0wFrNP1fH4X2Xu"
    "IvqWgs=\n"
    "trusted comment: file:msg\n"
    "MTy4L/4itRfKgcV4eQGISSZdpRx+1ftclojJfUixPzi7Hxyb37v/+dKk8k6b28BOoqEQLSHM/XGPe4gxVqjVBw==\n";

}  // namespace sigtest
