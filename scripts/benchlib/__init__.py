"""Helpers of scripts/bench: the shell plumbing, the local broker, and the
summary tables made from the raw result lines."""
