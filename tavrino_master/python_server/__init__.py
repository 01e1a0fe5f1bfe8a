"""Kernel program package."""
