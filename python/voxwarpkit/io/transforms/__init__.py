"""Registration tools' transform files: matrices, ITK's layouts and files, displacement fields."""
