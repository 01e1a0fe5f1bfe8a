"""Kernel-side helpers; hosts the native `panticle` bridge."""
