"""`orlune models`: the packaged models, for `orlune denoise --model ID`."""

from __future__ import annotations

import sys

from .._model_store import DEFAULT_MODEL_ID, ModelStoreError, packaged_models
from .args import EXIT_OK, EXIT_SOME_FAILED, depth_text


def show_models() -> int:
    """Prints one line per packaged model; fails if the packaged index cannot be read."""
    try:
        models = packaged_models()
    except ModelStoreError as error:
        print(f"orlune: error: {error}", file=sys.stderr)
        return EXIT_SOME_FAILED
    width = max((len(model.model_id) for model in models), default=0)
    for model in models:
        default = "  (the default)" if model.model_id == DEFAULT_MODEL_ID else ""
        print(
            f"{model.model_id:<{width}}  version {model.model_version}"
            f"  deepest suppression {depth_text(model)}{default}"
        )
    return EXIT_OK
