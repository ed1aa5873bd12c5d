"""Card after card into a list of dicts (Ctrl-C ends it early)."""
import json

import quillon

cards = []
with quillon.Encoder("COM1") as encoder:
    for card in encoder:
        cards.append(card.to_dict())
        if len(cards) == 3:
            break
print(json.dumps(cards))
