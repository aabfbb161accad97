"""OME-Zarr images written as the format's own models (ome-zarr-models) describe them."""

import zarr
from ome_zarr_models import v04, v05
from ome_zarr_models.common.coordinate_transformations import VectorScale, VectorTranslation


def write_ome_input(path, data, version, transforms):
    """An OME-Zarr image whose metadata the field's own models build."""
    models, zarr_format = (v04, 2) if version == "0.4" else (v05, 3)
    scale, translation, on_multiscale = transforms
    multiscale = models.multiscales.Multiscale(
        axes=[models.axes.Axis(name=name, type="space", unit="millimeter") for name in "zyx"],
        datasets=[models.multiscales.Dataset.build(path="0", scale=scale, translation=translation)],
        coordinateTransformations=on_multiscale
        and (VectorScale.build(on_multiscale[0]), VectorTranslation.build(on_multiscale[1])),
        **({"version": "0.4"} if version == "0.4" else {}),
    ).model_dump(mode="json", exclude_none=True)
    group = zarr.open_group(str(path), mode="w", zarr_format=zarr_format)
    layout = (
        {"dimension_names": list("zyx")}
        if zarr_format == 3
        else {"chunk_key_encoding": {"name": "v2", "separator": "/"}}
    )
    group.create_array("0", shape=data.shape, chunks=(4, 5, 6), dtype=data.dtype, **layout)[...] = data
    group.attrs.update(
        {"multiscales": [multiscale]} if version == "0.4" else {"ome": {"version": "0.5", "multiscales": [multiscale]}}
    )
