// PLACEHOLDER: replaced by the diagnostics work.
