"""Prints the reference values pinned in seeded_streams_test.cpp.

An independent computation of the seeded outputs, in plain Python straight
from the ChaCha definition (12 rounds, 64-bit block counter in state words
12-13, 64-bit stream in words 14-15):

    seed key   K      = seed as 8 little-endian bytes, then 24 zero bytes
    batch key  K(k,i) = words 0-7 of the block of key K, counter i, stream k
    outputs of candidate j: the key stream of K(k,i), stream j, from counter 0,
                             two consecutive words per output, low half first

    python3 tests/native/runtime/seeded_vectors.py
"""

MASK = 0xFFFFFFFF


def rotl(v, n):
    return ((v << n) | (v >> (32 - n))) & MASK


def quarter(s, a, b, c, d):
    s[a] = (s[a] + s[b]) & MASK; s[d] = rotl(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & MASK; s[b] = rotl(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b]) & MASK; s[d] = rotl(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & MASK; s[b] = rotl(s[b] ^ s[c], 7)


def block(key_words, counter, stream, rounds=12):
    init = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *key_words,
            counter & MASK, counter >> 32, stream & MASK, stream >> 32]
    s = list(init)
    for _ in range(rounds // 2):
        quarter(s, 0, 4, 8, 12); quarter(s, 1, 5, 9, 13); quarter(s, 2, 6, 10, 14); quarter(s, 3, 7, 11, 15)
        quarter(s, 0, 5, 10, 15); quarter(s, 1, 6, 11, 12); quarter(s, 2, 7, 8, 13); quarter(s, 3, 4, 9, 14)
    return [(x + y) & MASK for x, y in zip(s, init)]


def batch_key(seed, call, batch):
    seed_key = [seed & MASK, seed >> 32, 0, 0, 0, 0, 0, 0]
    return block(seed_key, batch, call)[:8]


def outputs(seed, call, batch, candidate, count):
    key = batch_key(seed, call, batch)
    words = []
    counter = 0
    while len(words) < 2 * count:
        words += block(key, counter, candidate)
        counter += 1
    return [words[2 * t] | words[2 * t + 1] << 32 for t in range(count)]


CASES = [
    (0, 0, 0, 0),
    (42, 0, 0, 0),
    (42, 1, 0, 0),
    (42, 0, 1, 0),
    (42, 0, 0, 1),
    (12345678901234567890, 7, 3, 19),
    (2**64 - 1, 2**64 - 1, 2**64 - 1, 2**64 - 1),
]
PICKED = (0, 1, 2, 31, 32, 33, 100)  # outputs 32 on come from the second refill

if __name__ == "__main__":
    print("key(42, 5, 9):", ", ".join(f"0x{w:08x}" for w in batch_key(42, 5, 9)))
    for case in CASES:
        values = outputs(*case, max(PICKED) + 1)
        print(f"{{{', '.join(str(v) + 'ULL' for v in case)}}},")
        print("  {" + ", ".join(f"0x{values[t]:016x}ULL" for t in PICKED) + "},")
