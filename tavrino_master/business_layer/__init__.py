"""Business layer of the master: the native `relvane` module and its outside companions."""
