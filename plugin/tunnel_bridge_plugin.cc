// PLACEHOLDER: replaced by the plug-in work.
