"""Heap allocations per call of an operation, counted by valgrind.

Run: PYTHONMALLOC=malloc valgrind --tool=memcheck python bench/binder_allocs.py N
for two values of N; the difference of the "total heap usage" counts divided by the difference
of N is the number of allocations per call. The operation compares two long texts, so a binder
that copies its text arguments shows up in the count.
"""
import sys

from bittensor_emberscope import emberscope as es

OLD = "0.1000000000000000000000000000001"
NEW = "0.2000000000000000000000000000001"
n = int(sys.argv[1])
for _ in range(n):
    es.owner_burn_changed(OLD, NEW, 0.05)
    es.owner_burn_changed(old=OLD, new=NEW, threshold=0.05)
