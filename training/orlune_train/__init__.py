"""Training of the engine's learned noise suppressor: corpus, mixtures, network, export."""
