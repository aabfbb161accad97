"""The engines behind resampling: their one protocol, the CPU engine over the compiled
``_engine`` (its only importer), and the filter passes every engine runs alike."""
