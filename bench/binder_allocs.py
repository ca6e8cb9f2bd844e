"""Heap allocations per call of an operation, counted by valgrind.

Run, for two values of N:
    PYTHONMALLOC=malloc valgrind --tool=memcheck python bench/binder_allocs.py OP N
The difference of the "total heap usage" counts divided by the difference of 2 N (each loop
makes one positional and one keyword call) is the number of allocations per call.
OP "paused": `_burn_is_paused("")`, whose body allocates nothing: the count is the binder's.
OP "changed": `owner_burn_changed` on two 33-character texts: a binder that copied its texts
would add two allocations to the body's own.
"""
import itertools
import sys

from bittensor_emberscope import emberscope as es

OLD = "0.1000000000000000000000000000001"
NEW = "0.2000000000000000000000000000001"
op, n = sys.argv[1], int(sys.argv[2])
if op == "paused":
    for _ in itertools.repeat(None, n):
        es._burn_is_paused("")
        es._burn_is_paused(pause_path="")
else:
    for _ in itertools.repeat(None, n):
        es.owner_burn_changed(OLD, NEW, 0.05)
        es.owner_burn_changed(old=OLD, new=NEW, threshold=0.05)
