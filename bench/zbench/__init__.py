"""The benchmark harness: data sets (data), one adapter per system
(systems), timing, memory and I/O floors (harness), tables, JSON and the
chart (report), and the runs that use them (run: the side-by-side
comparison; growth: cost against store size)."""
