// The error value: lazy and normalized errors, the pending-exception protocol, panic translation.
