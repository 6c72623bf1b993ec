// The sign-in done page in OBS's language, which the module's redirect puts in the query.
import { localisePage } from './i18n.js';

localisePage();
