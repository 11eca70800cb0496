# CT, densities as Hounsfield units + 1024 (air 0, water 1024): bone in ivory, everything softer hidden.
rgb 0 0 0 0
rgb 1350 140 80 50
rgb 1900 235 215 175
rgb 2800 250 245 230
rgb 4095 255 255 255
alpha 0 0
alpha 1350 0
alpha 2000 200
alpha 4095 255
