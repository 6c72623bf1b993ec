// The sign-in done page in OBS's language, which the module's redirect puts in the query.
import { languageFrom, localisePage } from './i18n.js';

localisePage(languageFrom(location.search));
