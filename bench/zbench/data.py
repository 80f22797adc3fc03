"""The data sets every system is measured on.

`DataSet` is the main one: N keys of 10-40 bytes in realistic shapes,
MessagePack values of 16-200 bytes, about two keys per object, a few objects
shared by many keys and some objects no key refers to, with the probe keys,
hot keys and prefixes of the lookup and scan loops. `bulk_data` is the large
build of fixed-size objects; `indexed_key` gives keys by number, cheaply, for
stores of tens of millions of keys.
"""

from __future__ import annotations

import bisect
import random
import time
from collections.abc import Callable, Collection, Iterable
from typing import Any

FIELDS = ["profile", "settings", "avatar", "email", "prefs", "roles", "quota", "plan", "lang", "tz", "billing", "audit"]
PLACES = ["città", "münchen", "zürich", "são-paulo", "kraków", "東京", "köln", "malmö", "ørsted", "αθήνα", "niño"]
PLACE_FIELDS = ["nome", "via", "cap", "zona"]
LANGS = ["en", "de", "it", "fr", "ja", "pt"]
WORDS = ("alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike november oscar papa "
         "quebec romeo sierra tango uniform victor whiskey xray yankee zulu").split()


def key_maker(rng: random.Random, n: int) -> Callable[[], str]:
    """A function returning one key in a random realistic shape per call."""
    users = max(10, n // 3)
    places = max(10, n // 40)
    choices = rng.choices
    shapes = ["user", "sku", "order", "session", "place", "doc"]
    weights = [35, 25, 15, 10, 10, 5]

    def make() -> str:
        while True:
            shape = choices(shapes, weights)[0]
            if shape == "user":
                k = f"user:{rng.randrange(users):07d}:{rng.choice(FIELDS)}"
            elif shape == "sku":
                k = f"sku/{rng.randrange(100):02d}/{rng.randrange(100):02d}/{rng.randrange(1000):03d}"
            elif shape == "order":
                k = f"order:{rng.randrange(10**9):09d}:line:{rng.randrange(20)}"
            elif shape == "session":
                k = f"session:{rng.getrandbits(64):016x}"
            elif shape == "place":
                k = f"{rng.choice(PLACES)}:{rng.randrange(places):06d}:{rng.choice(PLACE_FIELDS)}"
            else:
                k = f"doc/{rng.choice(LANGS)}/" + "-".join(rng.choice(WORDS) for _ in range(rng.randrange(1, 5)))
            if 10 <= len(k.encode()) <= 40:
                return k

    return make


def unique_keys(make: Callable[[], str], n: int, exclude: Collection[str] = frozenset()) -> list[str]:
    seen: set[str] = set()
    out: list[str] = []
    while len(out) < n:
        k = make()
        if k in seen or k in exclude:
            continue
        seen.add(k)
        out.append(k)
    return out


_INDEXED_SHAPES = ("user:{:09d}:profile", "sku/{:02d}/{:09d}", "order:{:010d}:line", "session:{:016x}",
                   "città:{:09d}:nome", "doc/{:09d}/rev")


def indexed_key(i: int) -> str:
    """Key number i: distinct for distinct i, 15-26 bytes, six shapes (one
    non-ASCII), without the cost of random generation."""
    shape = _INDEXED_SHAPES[i % 6]
    if shape.startswith("sku"):
        return shape.format(i % 97, i)
    if shape.startswith("session"):
        return shape.format((i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF)
    return shape.format(i)


def make_values(rng: random.Random, count: int) -> list[bytes]:
    """MessagePack records of 16-200 bytes, mostly small."""
    import msgpack

    text = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz ") for _ in range(4096))
    packb = msgpack.packb
    out = []
    for i in range(count):
        target = int(rng.triangular(16, 200, 48))
        rec: dict[str, Any] = {"id": i, "ok": rng.random() < 0.8}
        if target > 40:
            rec["score"] = rng.random()
        if target > 60:
            rec["tags"] = rng.sample(WORDS, 3)
        b = packb(rec)
        room = target - len(b) - 8
        if room > 0:
            at = rng.randrange(len(text) - room)
            rec["name"] = text[at:at + room]
            b = packb(rec)
        if len(b) < 16:
            rec["pad"] = "x" * (16 - len(b))
            b = packb(rec)
        assert 16 <= len(b) <= 200, len(b)
        out.append(b)
    return out


def next_prefix(p: str) -> str:
    """The smallest string greater than every string starting with p."""
    return p[:-1] + chr(ord(p[-1]) + 1)


def prefix_span(sorted_keys: list[str], p: str) -> tuple[int, int]:
    """Positions [lo, hi) of the keys starting with p."""
    lo = bisect.bisect_left(sorted_keys, p)
    return lo, bisect.bisect_left(sorted_keys, next_prefix(p), lo)


def pick_prefixes(rng: random.Random, sorted_keys: list[str], target: int, count: int) -> list[str]:
    """Prefixes whose match count is as close to `target` as the data allows."""
    n = len(sorted_keys)
    candidates: dict[str, int] = {}
    for k in rng.sample(sorted_keys, min(n, 3000)):
        for length in range(1, len(k) + 1):
            p = k[:length]
            if p in candidates:
                continue
            lo, hi = prefix_span(sorted_keys, p)
            candidates[p] = hi - lo
    ranked = sorted(candidates.items(), key=lambda pc: (abs(pc[1] - target) / target, pc[0]))
    good = [p for p, c in ranked if 0.7 * target <= c <= 1.4 * target]
    if len(good) < count:
        good = [p for p, _ in ranked[:max(count, 1)]]
    rng.shuffle(good)
    picked = good[:count]
    while len(picked) < count:
        picked += good[:count - len(picked)]
    return picked


def fresh(strings: Iterable[str]) -> list[str]:
    """New str objects equal to `strings`: no cached hash, no cached UTF-8."""
    return [s.encode().decode() for s in strings]


class DataSet:
    def __init__(self, n: int, probes: int, seed: int = 20240601):
        rng = random.Random(seed)
        t0 = time.time()
        self.n = n
        self.keys = unique_keys(key_maker(rng, n), n)
        regular = max(1, int(n * 0.95) // 2)
        hot = max(10, n // 1000)
        unreferenced = max(1, n // 100)
        m = regular + hot + unreferenced
        ids = list(range(m))
        rng.shuffle(ids)
        hot_ids = ids[:hot]
        unref_ids = set(ids[hot:hot + unreferenced])
        regular_ids = ids[hot + unreferenced:]
        self.objects = make_values(rng, m)
        # 5% of the keys go to the hot objects, Zipf-like; the rest spread
        # over the regular objects, about two each (some get none).
        cum = []
        acc = 0.0
        for rank in range(1, hot + 1):
            acc += 1.0 / rank
            cum.append(acc)
        n_hot_keys = n // 20
        oids = rng.choices(hot_ids, cum_weights=cum, k=n_hot_keys)
        oids += [rng.choice(regular_ids) for _ in range(n - n_hot_keys)]
        rng.shuffle(oids)
        self.key_oid = oids
        self.values = [self.objects[o] for o in oids]  # per key, as peers store them
        referenced = set(oids)
        self.unreferenced = m - len(referenced)
        assert not (unref_ids & referenced)
        self.max_share = max(_share_counts(oids))

        self.sorted_keys = sorted(self.keys)  # code point order == UTF-8 byte order
        self.key_bytes = [k.encode() for k in self.sorted_keys]
        self.dict = dict(zip(self.keys, self.values))
        self.sorted_values = [self.dict[k] for k in self.sorted_keys]

        probes = min(probes, n)
        self.hits = rng.sample(self.keys, probes)
        self.misses = unique_keys(key_maker(random.Random(seed + 1), n), probes, exclude=self.dict)
        hot_keys = rng.sample(self.keys, min(1000, n))
        self.hot = [hot_keys[i % len(hot_keys)] for i in range(probes)]
        self.prefix10 = pick_prefixes(rng, self.sorted_keys, 10, 200)
        self.prefix1000 = pick_prefixes(rng, self.sorted_keys, 1000, 20)
        self.prefix10_items = self._mean_matches(self.prefix10)
        self.prefix1000_items = self._mean_matches(self.prefix1000)
        self.key_payload_bytes = sum(len(b) for b in self.key_bytes)
        self.object_payload_bytes = sum(len(o) for o in self.objects)
        self.value_payload_bytes = sum(len(v) for v in self.values)
        self.non_ascii = sum(1 for k in self.keys if not k.isascii())
        self.gen_seconds = time.time() - t0

    def _mean_matches(self, prefixes: list[str]) -> float:
        total = 0
        for p in prefixes:
            lo, hi = prefix_span(self.sorted_keys, p)
            total += hi - lo
        return total / len(prefixes)

    def expected_prefix(self, p: str) -> list[tuple[str, bytes]]:
        """The (key, value) pairs a prefix scan for p must return, in order."""
        lo, hi = prefix_span(self.sorted_keys, p)
        return list(zip(self.sorted_keys[lo:hi], self.sorted_values[lo:hi]))

    def describe(self) -> dict[str, float]:
        return {
            "keys": self.n,
            "objects": len(self.objects),
            "unreferenced_objects": self.unreferenced,
            "max_keys_per_object": self.max_share,
            "non_ascii_keys": self.non_ascii,
            "key_bytes_mean": round(self.key_payload_bytes / self.n, 1),
            "object_bytes_mean": round(self.object_payload_bytes / len(self.objects), 1),
            "key_payload_mb": round(self.key_payload_bytes / 1e6, 1),
            "object_payload_mb": round(self.object_payload_bytes / 1e6, 1),
            "per_key_value_payload_mb": round(self.value_payload_bytes / 1e6, 1),
            "probes": len(self.hits),
            "prefix10_mean_items": round(self.prefix10_items, 1),
            "prefix1000_mean_items": round(self.prefix1000_items, 1),
            "generation_s": round(self.gen_seconds, 1),
        }


def _share_counts(oids: list[int]) -> Iterable[int]:
    counts: dict[int, int] = {}
    for o in oids:
        counts[o] = counts.get(o, 0) + 1
    return counts.values()


class BulkData:
    """objects × 100 random bytes under keys (about two keys per object)."""

    def __init__(self, objects: int, keys: int, seed: int = 7):
        rng = random.Random(seed)
        self.objects = [rng.randbytes(100) for _ in range(objects)]
        self.keys = unique_keys(key_maker(rng, keys), keys)
        self.key_oid = [i % objects for i in range(keys)]
        rng.shuffle(self.key_oid)
